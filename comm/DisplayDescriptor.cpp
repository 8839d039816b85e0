#include "comm/DisplayDescriptor.h"

#include "base/Base64.h"

#include <algorithm>
#include <charconv>

namespace vl {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isWordChar(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

// End of the run of characters satisfying `pred` that starts at `from`.
template <class Pred>
std::size_t runEnd(std::string_view text, std::size_t from, Pred pred) {
    while (from < text.size() && pred(text[from])) ++from;
    return from;
}

// A run of decimal digits as T; nothing when it overflows.
template <class T>
std::optional<T> decimal(std::string_view digits) {
    T value{};
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

std::optional<std::string> utf8Text(ByteView bytes) {
    if (!isValidUtf8(bytes)) return std::nullopt;
    return stringOf(bytes);
}

}  // namespace

std::optional<std::pair<int, int>> descriptorSize(std::string_view text) {
    // The leftmost match starts at a maximal run of digits followed by "x" and a digit; a start
    // inside a run is never earlier, and a run not followed so cannot start a match.
    std::size_t i = 0;
    while (i < text.size()) {
        if (!isDigit(text[i])) {
            ++i;
            continue;
        }
        std::size_t widthEnd = runEnd(text, i, isDigit);
        if (widthEnd + 1 < text.size() && text[widthEnd] == 'x' && isDigit(text[widthEnd + 1])) {
            std::size_t heightEnd = runEnd(text, widthEnd + 1, isDigit);
            auto width = decimal<int>(text.substr(i, widthEnd - i));
            auto height = decimal<int>(text.substr(widthEnd + 1, heightEnd - widthEnd - 1));
            if (!width || !height) return std::nullopt;
            return std::pair{*width, *height};
        }
        i = widthEnd;
    }
    return std::nullopt;
}

int descriptorFrameRate(std::string_view text) {
    constexpr int fallback = 30;
    for (std::size_t at = text.find('@'); at != std::string_view::npos;
         at = text.find('@', at + 1)) {
        std::size_t end = runEnd(text, at + 1, isDigit);
        if (end == at + 1) continue;
        auto rate = decimal<std::int64_t>(text.substr(at + 1, end - at - 1));
        if (!rate) return fallback;
        if (*rate == 30 || *rate == 48 || *rate == 60 || *rate == 90)
            return static_cast<int>(*rate);
        return static_cast<int>(std::clamp<std::int64_t>(*rate, 30, 90));
    }
    return fallback;
}

bool descriptorHdr(std::string_view text) {
    return text.find("HDR") != std::string_view::npos;
}

bool descriptorPortrait(std::string_view text) {
    constexpr std::string_view key = "portrait:";
    for (std::size_t at = text.find(key); at != std::string_view::npos;
         at = text.find(key, at + 1)) {
        std::size_t start = at + key.size();
        std::size_t end = runEnd(text, start, isWordChar);
        if (end == start) continue;
        return text.substr(start, end - start).ends_with("true");
    }
    return false;
}

std::optional<DisplayDescriptor> parseDisplayDescriptor(std::string_view text) {
    auto size = descriptorSize(text);
    if (!size) return std::nullopt;
    DisplayDescriptor descriptor;
    descriptor.width = size->first;
    descriptor.height = size->second;
    descriptor.fps = descriptorFrameRate(text);
    descriptor.hdr = descriptorHdr(text);
    descriptor.portrait = descriptorPortrait(text);
    return descriptor;
}

std::optional<std::string> displayDescriptorText(ByteView payload) {
    auto decoded = base64Decode(payload);
    if (!decoded) return std::nullopt;
    return utf8Text(*decoded);
}

std::optional<DisplayDescriptor> decodeDisplayDescriptor(ByteView payload) {
    auto text = displayDescriptorText(payload);
    if (!text) return std::nullopt;
    return parseDisplayDescriptor(*text);
}

std::string DisplayDescriptor::text() const {
    std::string out =
        std::to_string(width) + "x" + std::to_string(height) + "@" + std::to_string(fps);
    if (hdr) out += " HDR";
    out += portrait ? " portrait:true" : " portrait:false";
    return out;
}

Bytes DisplayDescriptor::encode() const {
    return bytesOf(base64Encode(text()));
}

std::optional<std::string> decodeShareIdentityText(ByteView payload) {
    if (auto decoded = base64Decode(payload)) {
        if (auto text = utf8Text(*decoded)) return text;
    }
    return utf8Text(payload);
}

Bytes encodeShareIdentityText(std::string_view sharedID) {
    return bytesOf(base64Encode(sharedID));
}

std::optional<std::string> decodePlainShareIdentity(ByteView payload) {
    return utf8Text(payload);
}

Bytes connectAnswerText(std::string_view applicationID, std::string_view machineName) {
    Bytes out;
    out.reserve(applicationID.size() + 1 + machineName.size());
    out.insert(out.end(), applicationID.begin(), applicationID.end());
    out.push_back('|');
    out.insert(out.end(), machineName.begin(), machineName.end());
    return out;
}

std::optional<std::pair<std::string, std::string>> parseConnectAnswer(ByteView payload) {
    auto text = utf8Text(payload);
    if (!text) return std::nullopt;
    auto bar = text->find('|');
    if (bar == std::string::npos) return std::nullopt;
    return std::pair{text->substr(0, bar), text->substr(bar + 1)};
}

}  // namespace vl
