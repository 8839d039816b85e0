#include "comm/Der.h"

namespace vl {

namespace {

Bytes concat(std::initializer_list<ByteView> parts) {
    Bytes out;
    for (ByteView part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::chrono::system_clock::time_point tenCalendarYearsAfter(
    std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    auto day = floor<days>(t);
    year_month_day date{day};
    year_month_day later = (date.year() + years(10)) / date.month() / date.day();
    // 29 February ten years on is the last day of that February.
    if (!later.ok()) later = later.year() / later.month() / last;
    return sys_days(later) + (t - day);
}

}  // namespace

Bytes derLength(std::size_t length) {
    if (length < 0x80) return {static_cast<std::uint8_t>(length)};
    Bytes digits;
    for (std::size_t rest = length; rest > 0; rest >>= 8)
        digits.insert(digits.begin(), static_cast<std::uint8_t>(rest & 0xff));
    digits.insert(digits.begin(), static_cast<std::uint8_t>(0x80 | digits.size()));
    return digits;
}

Bytes derTag(std::uint8_t tag, ByteView content) {
    Bytes out{tag};
    Bytes length = derLength(content.size());
    out.insert(out.end(), length.begin(), length.end());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes derInteger(ByteView bytes) {
    if (!bytes.empty() && (bytes[0] & 0x80)) return derTag(0x02, concat({Bytes{0x00}, bytes}));
    return derTag(0x02, bytes);
}

Bytes derSequence(ByteView content) {
    return derTag(0x30, content);
}

Bytes derSet(ByteView content) {
    return derTag(0x31, content);
}

Bytes derOID(const std::vector<std::uint64_t>& components) {
    if (components.size() < 2) return derTag(0x06, {});
    Bytes content{static_cast<std::uint8_t>(40 * components[0] + components[1])};
    for (std::size_t i = 2; i < components.size(); ++i) {
        Bytes groups{static_cast<std::uint8_t>(components[i] & 0x7f)};
        for (std::uint64_t rest = components[i] >> 7; rest > 0; rest >>= 7)
            groups.insert(groups.begin(), static_cast<std::uint8_t>(0x80 | (rest & 0x7f)));
        content.insert(content.end(), groups.begin(), groups.end());
    }
    return derTag(0x06, content);
}

Bytes derUTF8String(const std::string& text) {
    return derTag(0x0c, bytesOf(text));
}

Bytes derBitString(ByteView content) {
    return derTag(0x03, content);
}

Bytes derNULL() {
    return {0x05, 0x00};
}

Bytes derExplicitTag(std::uint8_t tag, ByteView value) {
    return derTag(static_cast<std::uint8_t>(0xa0 | tag), value);
}

Bytes utcTime(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    auto day = floor<days>(time);
    year_month_day date{day};
    hh_mm_ss clock{floor<seconds>(time - day)};
    char text[48];
    std::snprintf(text, sizeof text, "%02d%02u%02u%02d%02d%02dZ",
                  (int(date.year()) % 100 + 100) % 100, unsigned(date.month()),
                  unsigned(date.day()), int(clock.hours().count()), int(clock.minutes().count()),
                  int(clock.seconds().count()));
    return derTag(0x17, bytesOf(std::string(text)));
}

Bytes generalizedTime(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    auto day = floor<days>(time);
    year_month_day date{day};
    hh_mm_ss clock{floor<seconds>(time - day)};
    char text[48];
    std::snprintf(text, sizeof text, "%04d%02u%02u%02d%02d%02dZ", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), int(clock.hours().count()),
                  int(clock.minutes().count()), int(clock.seconds().count()));
    return derTag(0x18, bytesOf(std::string(text)));
}

namespace {

// UTCTime's two-digit year reads 50 to 99 as 1950 to 1999: later dates need GeneralizedTime.
Bytes certificateTime(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    year_month_day date{floor<days>(time)};
    return int(date.year()) < 2050 ? utcTime(time) : generalizedTime(time);
}

}  // namespace

Bytes derValidity(std::chrono::system_clock::time_point now) {
    return derSequence(concat({certificateTime(now), certificateTime(tenCalendarYearsAfter(now))}));
}

Bytes rsaEncryptionAlgorithm() {
    return derSequence(concat({derOID({1, 2, 840, 113549, 1, 1, 1}), derNULL()}));
}

Bytes sha256WithRSAEncryptionAlgorithm() {
    return derSequence(concat({derOID({1, 2, 840, 113549, 1, 1, 11}), derNULL()}));
}

Bytes derSubjectPublicKeyInfo(ByteView rsaPublicKey) {
    return derSequence(
        concat({rsaEncryptionAlgorithm(), derBitString(concat({Bytes{0x00}, rsaPublicKey}))}));
}

}  // namespace vl
