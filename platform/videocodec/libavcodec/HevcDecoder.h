// platform/videocodec/libavcodec: an HEVC decoder for Annex-B access units (the client's and the
// tests'), set up for low delay so that each access unit yields its picture at once.
#pragma once

#include "base/Bytes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVBufferRef;
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

// Where pictures are decoded. Frame threads are never used: each holds a picture back.
struct HevcDecoderOptions {
    enum class Device { software, vaapi, automatic };
    Device device = Device::software;
    // The VA-API render node; empty: the first /dev/dri/renderD*.
    std::string renderNode;
    // Software slice threads (a picture's wavefront rows in parallel); 1: the calling thread only.
    int threads = 1;
};

class HevcDecoder {
  public:
    // None when libavcodec has no HEVC decoder.
    static std::unique_ptr<HevcDecoder> create();
    // VA-API, when asked for (or automatic) and a render node opens, with pictures copied to
    // memory; otherwise, or when the device later fails, software.
    static std::unique_ptr<HevcDecoder> create(const HevcDecoderOptions& options);
    ~HevcDecoder();

    // Pictures completed by this access unit. Units that do not decode count as errors.
    std::vector<DecodedPicture> decode(ByteView accessUnit);
    // Pictures still held at the end of the stream.
    std::vector<DecodedPicture> flush();
    int errorCount() const { return errors_; }
    std::string lastError() const { return lastError_; }
    // Which decoder runs ("VA-API on /dev/dri/renderD128", "software, 2 slice threads").
    std::string description() const;
    bool hardware() const { return hwDevice_ != nullptr; }
    // Why VA-API was asked for and is not used; empty when it is, or was not asked for.
    const std::string& fallbackReason() const { return fallbackReason_; }

  private:
    HevcDecoder() = default;
    bool open(const HevcDecoderOptions& options);
    bool openSoftware(std::string reason);
    void closeContext();
    std::vector<DecodedPicture> receive();
    bool copyPicture(const AVFrame& frame, DecodedPicture& picture);

    HevcDecoderOptions options_;
    std::string node_;
    AVBufferRef* hwDevice_ = nullptr;
    AVFrame* transfer_ = nullptr;  // a VA-API picture copied to memory
    std::string fallbackReason_;
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    int errors_ = 0;
    std::string lastError_;
};

}  // namespace vl
