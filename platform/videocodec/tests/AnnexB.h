// Test helpers: the Annex-B access unit a receiver gets from a sample (parameter sets of a key
// frame first, then the sample's units), and picture quality.
#pragma once

#include "platform/capture/PixelBuffer.h"
#include "platform/videocodec/Interface.h"
#include "platform/videocodec/libavcodec/HevcDecoder.h"

#include <cmath>

namespace vl::test {

inline Bytes annexB(const EncodedSample& sample) {
    static const std::uint8_t startCode[4] = {0, 0, 0, 1};
    Bytes out;
    if (sample.isKeyFrame() && sample.formatDescription) {
        for (const auto& set : sample.formatDescription->parameterSets) {
            out.insert(out.end(), startCode, startCode + 4);
            out.insert(out.end(), set.begin(), set.end());
        }
    }
    std::size_t offset = 0;
    while (offset + 4 <= sample.data.size()) {
        const std::size_t length = readBigEndian32(sample.data.data() + offset);
        offset += 4;
        if (length == 0 || offset + length > sample.data.size()) break;
        out.insert(out.end(), startCode, startCode + 4);
        out.insert(out.end(), sample.data.begin() + static_cast<std::ptrdiff_t>(offset),
                   sample.data.begin() + static_cast<std::ptrdiff_t>(offset + length));
        offset += length;
    }
    return out;
}

// The units of a length-prefixed sample, without their lengths.
inline std::vector<ByteView> lengthPrefixedUnits(const Bytes& data) {
    std::vector<ByteView> units;
    std::size_t offset = 0;
    while (offset + 4 <= data.size()) {
        const std::size_t length = readBigEndian32(data.data() + offset);
        offset += 4;
        if (length == 0 || offset + length > data.size()) break;
        units.push_back(ByteView(data).subspan(offset, length));
        offset += length;
    }
    return units;
}

// Luma PSNR in dB between a source buffer and a decoded picture of the same size and depth.
inline double lumaPsnr(const PixelBuffer& source, const DecodedPicture& decoded) {
    const bool tenBit = source.format == PixelFormat::biPlanar420Video10;
    const double peak = tenBit ? 1023.0 : 255.0;
    double squared = 0;
    const PixelPlane& plane = source.planes[0];
    for (int y = 0; y < source.height; ++y) {
        const std::uint8_t* row =
            plane.bytes.data() + static_cast<std::size_t>(y) * plane.bytesPerRow;
        for (int x = 0; x < source.width; ++x) {
            const int original = tenBit ? ((row[2 * x] | (row[2 * x + 1] << 8)) >> 6) : row[x];
            const double difference = original - decoded.luma(x, y);
            squared += difference * difference;
        }
    }
    const double mse = squared / (static_cast<double>(source.width) * source.height);
    if (mse == 0) return 100;
    return 10 * std::log10(peak * peak / mse);
}

}  // namespace vl::test
