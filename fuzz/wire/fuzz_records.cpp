// Every decoder of control payload text: each record's JSON, the display descriptor and the
// share identity texts. Whatever decodes re-encodes to something that decodes to the same value;
// the hand-written descriptor scanners agree with the regular expressions they stand for.
#include "comm/ControlRecords.h"
#include "comm/DisplayDescriptor.h"

#include <cstdlib>
#include <optional>
#include <regex>
#include <string>

using namespace vl;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

template <class T>
void roundTrip(ByteView input) {
    auto record = T::fromJson(input);
    if (!record) return;
    std::string json = record->toJson();
    check(T::fromJson(asBytes(json)) == record);
}

// A run of decimal digits, or nothing when it exceeds `limit`.
std::optional<long long> decimal(const std::string& digits, long long limit) {
    long long value = 0;
    for (char c : digits) {
        if (value > (limit - (c - '0')) / 10) return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// The scanners against std::regex, on inputs short enough for its recursion.
void compareWithRegex(std::string_view text) {
    static const std::regex size(R"((\d+)x(\d+))"), rate(R"(@(\d+))"),
        portrait(R"(portrait:(\w+))");
    std::string s(text);
    std::smatch match;

    auto found = descriptorSize(text);
    if (std::regex_search(s, match, size)) {
        auto width = decimal(match.str(1), 2147483647), height = decimal(match.str(2), 2147483647);
        check(found.has_value() == (width && height));
        if (found) check(found->first == *width && found->second == *height);
    } else {
        check(!found);
    }

    int expectedRate = 30;
    if (std::regex_search(s, match, rate)) {
        if (auto value = decimal(match.str(1), 9223372036854775807LL))
            expectedRate = *value < 30 ? 30 : *value > 90 ? 90 : static_cast<int>(*value);
    }
    check(descriptorFrameRate(text) == expectedRate);

    bool expectedPortrait = std::regex_search(s, match, portrait) && match.str().ends_with("true");
    check(descriptorPortrait(text) == expectedPortrait);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    ByteView input(bytes, size);
    roundTrip<ConnectReq>(input);
    roundTrip<SharedType>(input);
    roundTrip<SharedItem>(input);
    roundTrip<MouseEvent>(input);
    roundTrip<MouseScroll>(input);
    roundTrip<KeyboardEvent>(input);
    roundTrip<ClipboardEvent>(input);
    roundTrip<LookAtInfo>(input);
    roundTrip<JumpToDisplayInfo>(input);
    roundTrip<ActiveWindowInfo>(input);

    std::string_view text(reinterpret_cast<const char*>(bytes), size);
    if (auto descriptor = parseDisplayDescriptor(text)) {
        check(descriptor->fps >= 30 && descriptor->fps <= 90);
        check(decodeDisplayDescriptor(descriptor->encode()) == descriptor);
    }
    if (size <= 256) compareWithRegex(text);
    (void)decodeDisplayDescriptor(input);

    if (auto id = decodeShareIdentityText(input)) {
        check(isValidUtf8(asBytes(*id)));
        check(decodeShareIdentityText(encodeShareIdentityText(*id)) == id);
    }
    if (auto id = decodePlainShareIdentity(input)) check(stringOf(input) == *id);
    if (auto answer = parseConnectAnswer(input))
        check(connectAnswerText(answer->first, answer->second) ==
              Bytes(input.begin(), input.end()));
    return 0;
}
