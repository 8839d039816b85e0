// platform/events: text the client types, as the keysyms that type it whatever the layout.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vl {

struct CodePoint {
    char32_t value = 0;
    std::string_view bytes;  // its UTF-8 in the text it came from
};

// The code points of UTF-8 text, viewing `text`; malformed bytes are skipped.
std::vector<CodePoint> codePoints(const std::string& text);

// The keysym that types a code point; none for control characters without a key. Latin-1 keysyms
// are the code points themselves, the rest are Unicode keysyms.
std::optional<std::uint32_t> keysymForCodePoint(char32_t point);

}  // namespace vl
