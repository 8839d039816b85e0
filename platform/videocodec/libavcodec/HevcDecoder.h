// platform/videocodec/libavcodec: an HEVC decoder for Annex-B access units (the client's and the
// tests'), set up for low delay so that each access unit yields its picture at once.
#pragma once

#include "base/Bytes.h"
#include "platform/videocodec/VideoDecoder.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVBufferRef;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace vl {

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

class HevcDecoder final : public VideoDecoder {
  public:
    // None when libavcodec has no HEVC decoder.
    static std::unique_ptr<HevcDecoder> create();
    // VA-API, when asked for (or automatic) and a render node opens, with pictures copied to
    // memory; otherwise, or when the device later fails, software.
    static std::unique_ptr<HevcDecoder> create(const HevcDecoderOptions& options);
    // A factory of decoders made with the options.
    static VideoDecoderFactory factory(HevcDecoderOptions options = {});
    ~HevcDecoder() override;

    // Units that do not decode count as errors.
    std::vector<DecodedPicture> decode(ByteView accessUnit) override;
    std::vector<DecodedPicture> flush() override;
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
