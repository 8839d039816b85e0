#include "Lensway/Placeholder.h"

#include "base/Log.h"

#include <algorithm>
#include <cstring>

#include <ft2build.h>
#include FT_FREETYPE_H

namespace vl::lensway {

namespace {
FT_Library lib(void* p) {
    return static_cast<FT_Library>(p);
}
FT_Face face(void* p) {
    return static_cast<FT_Face>(p);
}
}  // namespace

Placeholder::Placeholder(std::string fontPath) : fontPath_(std::move(fontPath)) {
    FT_Library library = nullptr;
    if (FT_Init_FreeType(&library) != 0) return;
    library_ = library;
    FT_Face loaded = nullptr;
    if (FT_New_Face(library, fontPath_.c_str(), 0, &loaded) != 0) {
        logMsg("❌ Placeholder: font " + fontPath_ + " cannot be read; black frames only",
               LogLevel::error);
        return;
    }
    face_ = loaded;
}

Placeholder::~Placeholder() {
    if (face_) FT_Done_Face(face(face_));
    if (library_) FT_Done_FreeType(lib(library_));
}

void Placeholder::renderLine(int frameHeight) {
    cachedTextForHeight_ = frameHeight;
    cachedFontSize_ = frameHeight * 0.14;
    cachedTextLine_.clear();
    lineWidth_ = lineHeight_ = lineBaseline_ = 0;
    cachedTextWidth_ = 0;
    if (!face_) return;
    FT_Face f = face(face_);
    // One point is one pixel, as in a bitmap context of the frame's size.
    FT_Set_Char_Size(f, 0, static_cast<FT_F26Dot6>(cachedFontSize_ * 64.0), 72, 72);
    const int ascent = static_cast<int>(std::ceil(f->size->metrics.ascender / 64.0));
    const int descent = static_cast<int>(std::ceil(-f->size->metrics.descender / 64.0));
    double advance = 0;
    for (const char* c = text; *c; ++c) {
        if (FT_Load_Char(f, static_cast<FT_ULong>(*c), FT_LOAD_DEFAULT) == 0)
            advance += f->glyph->linearHoriAdvance / 65536.0;
    }
    cachedTextWidth_ = advance;
    lineWidth_ = static_cast<int>(std::ceil(advance)) + 2;
    lineHeight_ = ascent + descent;
    lineBaseline_ = ascent;
    cachedTextLine_.assign(static_cast<std::size_t>(lineWidth_) * lineHeight_, 0);
    double pen = 0;
    for (const char* c = text; *c; ++c) {
        if (FT_Load_Char(f, static_cast<FT_ULong>(*c), FT_LOAD_RENDER) != 0) continue;
        const FT_GlyphSlot glyph = f->glyph;
        const FT_Bitmap& bitmap = glyph->bitmap;
        const int left = static_cast<int>(std::lround(pen)) + glyph->bitmap_left;
        const int top = lineBaseline_ - glyph->bitmap_top;
        for (unsigned row = 0; row < bitmap.rows; ++row) {
            const int y = top + static_cast<int>(row);
            if (y < 0 || y >= lineHeight_) continue;
            for (unsigned col = 0; col < bitmap.width; ++col) {
                const int x = left + static_cast<int>(col);
                if (x < 0 || x >= lineWidth_) continue;
                std::uint8_t& cell = cachedTextLine_[static_cast<std::size_t>(y) * lineWidth_ + x];
                cell =
                    std::max(cell, bitmap.buffer[row * static_cast<unsigned>(bitmap.pitch) + col]);
            }
        }
        pen += glyph->linearHoriAdvance / 65536.0;
    }
}

void Placeholder::draw(PixelBuffer& frame) {
    if (frame.planes.size() < 2) return;
    PixelPlane& luma = frame.planes[0];
    PixelPlane& chroma = frame.planes[1];
    std::fill(luma.bytes.begin(), luma.bytes.end(), std::uint8_t{0x10});
    std::fill(chroma.bytes.begin(), chroma.bytes.end(), std::uint8_t{0x80});
    if (cachedTextForHeight_ != frame.height) renderLine(frame.height);

    double x = (std::isnan(scrollX_) ? frame.width : scrollX_) - frame.width / 150.0;
    if (x < -cachedTextWidth_) x = frame.width;
    scrollX_ = x;
    if (cachedTextLine_.empty()) return;

    // The baseline sits 0.35 of the font size below the middle (counted from the bottom).
    const double baselineFromBottom = frame.height / 2.0 - 0.35 * cachedFontSize_;
    const int baselineRow = static_cast<int>(std::lround(frame.height - baselineFromBottom));
    const int originX = static_cast<int>(std::lround(x));
    const int originY = baselineRow - lineBaseline_;
    for (int row = 0; row < lineHeight_; ++row) {
        const int y = originY + row;
        if (y < 0 || y >= frame.height) continue;
        std::uint8_t* out = luma.bytes.data() + static_cast<std::size_t>(y) * luma.bytesPerRow;
        const std::uint8_t* in =
            cachedTextLine_.data() + static_cast<std::size_t>(row) * lineWidth_;
        const int from = std::max(0, -originX);
        const int to = std::min(lineWidth_, frame.width - originX);
        for (int col = from; col < to; ++col) {
            const unsigned coverage = in[col];
            if (coverage == 0) continue;
            std::uint8_t& pixel = out[originX + col];
            pixel =
                static_cast<std::uint8_t>((pixel * (255 - coverage) + textGray * coverage) / 255);
        }
    }
}

}  // namespace vl::lensway
