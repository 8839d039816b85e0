#include "platform/capture/ColorConversion.h"

#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vl {

namespace {

constexpr int pqSteps = 65535;

// The edge column and row of the luma plane past width x height repeat the last ones drawn.
void repeatLumaEdges(PixelPlane& luma, int width, int height, std::size_t sampleBytes) {
    if (luma.width > width) {
        for (int y = 0; y < height; ++y) {
            std::uint8_t* row = luma.bytes.data() + static_cast<std::size_t>(y) * luma.bytesPerRow;
            for (int x = width; x < luma.width; ++x) {
                std::memcpy(row + x * sampleBytes, row + (width - 1) * sampleBytes, sampleBytes);
            }
        }
    }
    for (int y = height; y < luma.height; ++y) {
        std::memcpy(luma.bytes.data() + static_cast<std::size_t>(y) * luma.bytesPerRow,
                    luma.bytes.data() + static_cast<std::size_t>(height - 1) * luma.bytesPerRow,
                    luma.bytesPerRow);
    }
}

double pqEncode(double nits) {
    // SMPTE ST 2084 inverse EOTF.
    constexpr double m1 = 2610.0 / 16384;
    constexpr double m2 = 2523.0 / 4096 * 128;
    constexpr double c1 = 3424.0 / 4096;
    constexpr double c2 = 2413.0 / 4096 * 32;
    constexpr double c3 = 2392.0 / 4096 * 32;
    const double y = std::pow(std::clamp(nits / 10000.0, 0.0, 1.0), m1);
    return std::pow((c1 + c2 * y) / (1 + c3 * y), m2);
}

}  // namespace

ColorDescription sdrConversionColor() {
    return {ColorPrimaries::bt709, TransferFunction::sRGB, YCbCrMatrix::bt601, false};
}

ColorDescription hdrConversionColor() {
    return {ColorPrimaries::bt2020, TransferFunction::pq, YCbCrMatrix::bt2020, false};
}

void convertBGRAToNV12(const std::uint8_t* bgra, std::size_t bytesPerRow, int width, int height,
                       PixelBuffer& out) {
    PixelPlane& luma = out.planes[0];
    PixelPlane& chroma = out.planes[1];
    // libyuv's "ARGB" is B, G, R, A in memory order.
    libyuv::ARGBToNV12(bgra, static_cast<int>(bytesPerRow), luma.bytes.data(),
                       static_cast<int>(luma.bytesPerRow), chroma.bytes.data(),
                       static_cast<int>(chroma.bytesPerRow), width, height);
    repeatLumaEdges(luma, width, height, 1);
    if (chroma.height > (height + 1) / 2) {
        // Only reached when the buffer is taller than the rounded-up picture; keep it defined.
        for (int y = (height + 1) / 2; y < chroma.height; ++y) {
            std::memcpy(chroma.bytes.data() + static_cast<std::size_t>(y) * chroma.bytesPerRow,
                        chroma.bytes.data() +
                            static_cast<std::size_t>((height + 1) / 2 - 1) * chroma.bytesPerRow,
                        chroma.bytesPerRow);
        }
    }
    out.color = sdrConversionColor();
}

HdrConverter::HdrConverter() : srgbToLinear_(256), linearToPq_(pqSteps + 1) {
    for (int i = 0; i < 256; ++i) {
        const double v = i / 255.0;
        srgbToLinear_[i] =
            static_cast<float>(v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4));
    }
    for (int i = 0; i <= pqSteps; ++i) {
        linearToPq_[i] =
            static_cast<float>(pqEncode(static_cast<double>(i) / pqSteps * sdrReferenceWhiteNits));
    }
}

void HdrConverter::convert(const std::uint8_t* bgra, std::size_t bytesPerRow, int width, int height,
                           PixelBuffer& out) const {
    PixelPlane& luma = out.planes[0];
    PixelPlane& chroma = out.planes[1];
    auto pq = [&](float linear) {
        const float clamped = std::clamp(linear, 0.0f, 1.0f);
        return linearToPq_[static_cast<std::size_t>(clamped * pqSteps + 0.5f)];
    };
    auto write = [](std::uint8_t* at, double value10) {
        const auto code = static_cast<std::uint16_t>(std::clamp(std::lround(value10), 0L, 1023L));
        const auto word = static_cast<std::uint16_t>(code << 6);
        at[0] = static_cast<std::uint8_t>(word & 0xff);
        at[1] = static_cast<std::uint8_t>(word >> 8);
    };
    // Desktops are mostly runs of one colour: a pixel equal to the one before reuses its result.
    struct Mapped {
        std::uint32_t bgra = 0;
        double yPrime = 0, cb = 0, cr = 0;
    };
    Mapped last;
    bool haveLast = false;
    auto map = [&](const std::uint8_t* p) -> const Mapped& {
        std::uint32_t bgra;
        std::memcpy(&bgra, p, 4);
        bgra &= 0x00ffffff;
        if (haveLast && bgra == last.bgra) return last;
        const float b = srgbToLinear_[p[0]];
        const float g = srgbToLinear_[p[1]];
        const float r = srgbToLinear_[p[2]];
        // BT.709 primaries into BT.2020 (BT.2087).
        const float r2 = pq(0.6274f * r + 0.3293f * g + 0.0433f * b);
        const float g2 = pq(0.0691f * r + 0.9195f * g + 0.0114f * b);
        const float b2 = pq(0.0164f * r + 0.0880f * g + 0.8956f * b);
        // BT.2020 non-constant luminance.
        last.bgra = bgra;
        last.yPrime = 0.2627 * r2 + 0.6780 * g2 + 0.0593 * b2;
        last.cb = (b2 - last.yPrime) / 1.8814;
        last.cr = (r2 - last.yPrime) / 1.4746;
        haveLast = true;
        return last;
    };
    // Two rows at a time: each 2x2 block shares one Cb/Cr pair (the mean of its four pixels).
    for (int y = 0; y < height; y += 2) {
        const int rows = std::min(2, height - y);
        for (int x = 0; x < width; x += 2) {
            const int columns = std::min(2, width - x);
            double cbSum = 0, crSum = 0;
            for (int dy = 0; dy < rows; ++dy) {
                const std::uint8_t* row = bgra + static_cast<std::size_t>(y + dy) * bytesPerRow;
                std::uint8_t* lumaRow =
                    luma.bytes.data() + static_cast<std::size_t>(y + dy) * luma.bytesPerRow;
                for (int dx = 0; dx < columns; ++dx) {
                    const Mapped& m = map(row + static_cast<std::size_t>(x + dx) * 4);
                    cbSum += m.cb;
                    crSum += m.cr;
                    write(lumaRow + static_cast<std::size_t>(x + dx) * 2, 64 + 876 * m.yPrime);
                }
            }
            const double count = rows * columns;
            std::uint8_t* chromaAt = chroma.bytes.data() +
                                     static_cast<std::size_t>(y / 2) * chroma.bytesPerRow +
                                     static_cast<std::size_t>(x / 2) * 4;
            write(chromaAt, 512 + 896 * cbSum / count);
            write(chromaAt + 2, 512 + 896 * crSum / count);
        }
    }
    repeatLumaEdges(luma, width, height, 2);
    out.color = hdrConversionColor();
}

}  // namespace vl
