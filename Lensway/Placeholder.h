// Lensway: the picture shown until the client's video arrives — black, with "Persona is
// coming..." in light gray scrolling from right to left, 1/150 of the width per frame. The text
// is set in DejaVu Sans Bold at 0.14 of the frame height; its rendered line is kept and made
// anew only when the height changes.
#pragma once

#include "platform/capture/PixelBuffer.h"

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vl::lensway {

class Placeholder {
  public:
    static constexpr const char* text = "Persona is coming...";
    static constexpr const char* defaultFont =
        "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
    static constexpr std::uint8_t textGray = 235;

    // Without the font the frames are black only (reported once).
    explicit Placeholder(std::string fontPath = defaultFont);
    ~Placeholder();
    Placeholder(const Placeholder&) = delete;
    Placeholder& operator=(const Placeholder&) = delete;

    // Fills the NV12 frame with black and draws the text at its next position.
    void draw(PixelBuffer& frame);

    bool hasFont() const { return face_ != nullptr; }
    double fontSize() const { return cachedFontSize_; }
    double textWidth() const { return cachedTextWidth_; }
    // The left edge of the text in the last frame; NaN before the first.
    double scrollX() const { return scrollX_; }

  private:
    void renderLine(int frameHeight);

    std::string fontPath_;
    void* library_ = nullptr;  // FT_Library
    void* face_ = nullptr;     // FT_Face
    double scrollX_ = std::nan("");
    // The text line as coverage (0..255), `lineWidth_` x `lineHeight_`, with its baseline row.
    std::vector<std::uint8_t> cachedTextLine_;
    int lineWidth_ = 0;
    int lineHeight_ = 0;
    int lineBaseline_ = 0;
    double cachedTextWidth_ = 0;
    double cachedFontSize_ = 0;
    int cachedTextForHeight_ = 0;
};

}  // namespace vl::lensway
