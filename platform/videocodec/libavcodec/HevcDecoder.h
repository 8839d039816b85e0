// platform/videocodec/libavcodec: an HEVC decoder for Annex-B access units (the client's and the
// tests'), set up for low delay so that each access unit yields its picture at once.
#pragma once

#include "base/Bytes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

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

// Packed 8-bit RGB of the picture, converted with the matrix and range it signals.
Bytes toRGB24(const DecodedPicture& picture);

class HevcDecoder {
  public:
    // None when libavcodec has no HEVC decoder.
    static std::unique_ptr<HevcDecoder> create();
    ~HevcDecoder();

    // Pictures completed by this access unit. Units that do not decode count as errors.
    std::vector<DecodedPicture> decode(ByteView accessUnit);
    // Pictures still held at the end of the stream.
    std::vector<DecodedPicture> flush();
    int errorCount() const { return errors_; }
    std::string lastError() const { return lastError_; }

  private:
    HevcDecoder() = default;
    std::vector<DecodedPicture> receive();

    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    int errors_ = 0;
    std::string lastError_;
};

}  // namespace vl
