// platform/capture: desktop pixels (8-bit BGRA, sRGB) into the stream's 4:2:0 formats.
// SDR goes to NV12 with libyuv's BT.601 video-range matrix, and says so in its colour
// description; HDR maps the desktop into BT.2020 / PQ with SDR reference white at 203 cd/m²
// (BT.2408) and writes P010.
#pragma once

#include "platform/capture/PixelBuffer.h"

#include <cstdint>
#include <vector>

namespace vl {

// The colour description of what convertBGRAToNV12 writes.
ColorDescription sdrConversionColor();
// The colour description of what HdrConverter writes.
ColorDescription hdrConversionColor();

// Converts width x height BGRA pixels into the buffer's NV12 planes. The buffer may be one pixel
// wider or taller (sizes rounded up to even); the extra column or row repeats the edge.
void convertBGRAToNV12(const std::uint8_t* bgra, std::size_t bytesPerRow, int width, int height,
                       PixelBuffer& out);

class HdrConverter {
  public:
    static constexpr double sdrReferenceWhiteNits = 203;

    HdrConverter();
    // As convertBGRAToNV12, into P010 planes.
    void convert(const std::uint8_t* bgra, std::size_t bytesPerRow, int width, int height,
                 PixelBuffer& out) const;

  private:
    std::vector<float> srgbToLinear_;  // 256 entries: 8-bit sRGB → linear, 1.0 = SDR white
    std::vector<float> linearToPq_;    // pqSteps + 1 entries over linear 0 … 1
};

}  // namespace vl
