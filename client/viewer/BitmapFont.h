// client/viewer: a tiny built-in 5x7 bitmap font and the light-on-dark text boxes the window lays
// over the picture (the status figures, the reconnect offer). Lower case is drawn as upper case;
// a character without a glyph is drawn as '?'.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vl {

struct TextBox {
    static constexpr std::uint32_t background = 0xFF101010;  // ARGB8888
    static constexpr std::uint32_t ink = 0xFFF0F0F0;
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;  // ARGB8888, row by row
};

class BitmapFont {
  public:
    static constexpr int glyphWidth = 5;
    static constexpr int glyphHeight = 7;
    // Rows top to bottom, bit 4 the leftmost column. Nothing for a character without a glyph.
    static std::optional<std::array<std::uint8_t, glyphHeight>> glyph(char c);
    // The lines in an opaque dark box, each font pixel `scale` screen pixels square, with a
    // margin of two font pixels around the text.
    static TextBox draw(const std::vector<std::string>& lines, int scale);
};

}  // namespace vl
