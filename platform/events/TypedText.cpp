#include "platform/events/TypedText.h"

namespace vl {

std::vector<CodePoint> codePoints(const std::string& text) {
    std::vector<CodePoint> points;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80         ? 1
                           : (lead >> 5) == 6  ? 2
                           : (lead >> 4) == 14 ? 3
                           : (lead >> 3) == 30 ? 4
                                               : 0;
        if (length == 0 || i + length > text.size()) {
            ++i;
            continue;
        }
        char32_t point = length == 1 ? lead : lead & (0x7F >> length);
        bool valid = true;
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = valid && (next & 0xC0) == 0x80;
            point = (point << 6) | (next & 0x3F);
        }
        if (valid) points.push_back({point, std::string_view(text).substr(i, length)});
        i += valid ? length : 1;
    }
    return points;
}

std::optional<std::uint32_t> keysymForCodePoint(char32_t point) {
    switch (point) {
        case '\r':
        case '\n':
            return 0xff0d;  // Return
        case '\t':
            return 0xff09;  // Tab
        case '\b':
            return 0xff08;  // BackSpace
        case 0x1B:
            return 0xff1b;  // Escape
        case 0x7F:
            return 0xffff;  // Delete
        default:
            break;
    }
    if (point < 0x20 || (point >= 0x80 && point < 0xA0) || point > 0x10FFFF) return std::nullopt;
    if (point < 0x100) return static_cast<std::uint32_t>(point);
    return 0x01000000u | static_cast<std::uint32_t>(point);
}

}  // namespace vl
