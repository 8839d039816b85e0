#include "client/viewer/ToneMap.h"

#include <algorithm>
#include <cmath>

namespace vl {

std::uint8_t toneMapPQ(int luma10) {
    // SMPTE ST 2084 EOTF, on the signal normalised from the limited range.
    const double e = std::clamp((luma10 - 64) / 876.0, 0.0, 1.0);
    constexpr double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128;
    constexpr double c1 = 3424.0 / 4096, c2 = 2413.0 / 4096 * 32, c3 = 2392.0 / 4096 * 32;
    const double p = std::pow(e, 1 / m2);
    const double nits = 10000 * std::pow(std::max(p - c1, 0.0) / (c2 - c3 * p), 1 / m1);
    // Extended Reinhard with 203 nits as 1.0 and 1000 nits as the white point.
    const double l = nits / 203;
    constexpr double white = 1000.0 / 203;
    const double mapped = std::min(1.0, l * (1 + l / (white * white)) / (1 + l));
    const double signal = std::pow(mapped, 1 / 2.4);
    return static_cast<std::uint8_t>(std::lround(16 + 219 * signal));
}

ToneMapper::ToneMapper() {
    for (int i = 0; i < 1024; ++i) pq_[i] = toneMapPQ(i);
}

Planes8 ToneMapper::convert(const DecodedPicture& picture) const {
    Planes8 out;
    out.width = picture.width;
    out.height = picture.height;
    if (picture.bitDepth <= 8) {
        for (int i = 0; i < 3; ++i) {
            out.planes[i] = picture.planes[i];
            out.strides[i] = picture.strides[i];
        }
        return out;
    }
    const bool pq = picture.transferCharacteristics == transferPQ;
    for (int i = 0; i < 3; ++i) {
        const int w = i == 0 ? picture.width : (picture.width + 1) / 2;
        const int h = i == 0 ? picture.height : (picture.height + 1) / 2;
        out.strides[i] = w;
        out.planes[i].resize(static_cast<std::size_t>(w) * h);
        for (int y = 0; y < h; ++y) {
            const auto* row =
                picture.planes[i].data() + static_cast<std::size_t>(y) * picture.strides[i];
            auto* dst = out.planes[i].data() + static_cast<std::size_t>(y) * w;
            for (int x = 0; x < w; ++x) {
                const int v = (row[2 * x] | (row[2 * x + 1] << 8)) & 0x3FF;
                dst[x] = (i == 0 && pq) ? pq_[v] : static_cast<std::uint8_t>(v >> 2);
            }
        }
    }
    return out;
}

}  // namespace vl
