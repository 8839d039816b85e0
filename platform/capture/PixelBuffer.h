// platform/capture: the picture record that capture produces and the video codec consumes —
// bi-planar 4:2:0 frames with the colour description they were converted with.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vl {

// Media time on the host's monotonic clock.
using MediaTime = std::chrono::nanoseconds;

enum class PixelFormat {
    // '420v': 8-bit luma plane, then interleaved Cb/Cr at half size (NV12), video range.
    biPlanar420Video8,
    // 'x420': the same with 10-bit samples in the high bits of 16-bit little-endian words (P010).
    biPlanar420Video10,
};
const char* description(PixelFormat format);
inline constexpr int bitDepth(PixelFormat format) {
    return format == PixelFormat::biPlanar420Video10 ? 10 : 8;
}

enum class ColorPrimaries { bt709, bt2020 };
enum class TransferFunction { bt709, sRGB, pq };
enum class YCbCrMatrix { bt601, bt709, bt2020 };

// What the samples mean; the encoder signals exactly this in the stream.
struct ColorDescription {
    ColorPrimaries primaries = ColorPrimaries::bt709;
    TransferFunction transfer = TransferFunction::sRGB;
    YCbCrMatrix matrix = YCbCrMatrix::bt601;
    bool fullRange = false;
    bool operator==(const ColorDescription&) const = default;
};

struct PixelPlane {
    std::vector<std::uint8_t> bytes;
    std::size_t bytesPerRow = 0;
    int width = 0;  // in samples (Cb/Cr pairs for the chroma plane)
    int height = 0;
};

// Two planes: luma, then interleaved chroma. Width and height are even.
struct PixelBuffer {
    PixelFormat format = PixelFormat::biPlanar420Video8;
    int width = 0;
    int height = 0;
    ColorDescription color;
    std::vector<PixelPlane> planes;
};

// An empty buffer of the given size and format with tightly packed rows.
PixelBuffer makePixelBuffer(int width, int height, PixelFormat format, ColorDescription color);

}  // namespace vl
