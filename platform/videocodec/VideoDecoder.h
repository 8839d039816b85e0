// platform/videocodec: decoding Annex-B access units into pictures, whichever backend decodes
// them; code that only decodes holds a VideoDecoder made by a factory its program hands in.
#pragma once

#include "base/Bytes.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace vl {

// A decoded 4:2:0 picture in three planes; 10-bit samples are 16-bit words (low bits).
struct DecodedPicture {
    int width = 0;
    int height = 0;
    int bitDepth = 8;
    bool keyFrame = false;
    // H.273 code points as signalled in the stream (2 = unspecified).
    int colorPrimaries = 2;
    int transferCharacteristics = 2;
    int matrixCoefficients = 2;
    bool fullRange = false;
    std::vector<std::uint8_t> planes[3];
    int strides[3] = {0, 0, 0};  // bytes

    // The luma sample at (x, y), in the picture's bit depth.
    int luma(int x, int y) const;
};

class VideoDecoder {
  public:
    virtual ~VideoDecoder() = default;
    // Pictures completed by this access unit.
    virtual std::vector<DecodedPicture> decode(ByteView accessUnit) = 0;
    // Pictures still held at the end of the stream.
    virtual std::vector<DecodedPicture> flush() = 0;
};

// Makes a decoder for a new stream; null when none can be had.
using VideoDecoderFactory = std::function<std::unique_ptr<VideoDecoder>()>;

}  // namespace vl
