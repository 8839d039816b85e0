// platform/videocodec/vaapi: the hardware tiers — HEVC through VA-API (libavcodec's hevc_vaapi),
// offered only where a DRM render node exists.
#pragma once

#include "platform/videocodec/Interface.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

struct AVBufferRef;
struct AVCodec;
struct AVCodecContext;
struct AVPacket;

namespace vl {

// /dev/dri/renderD* in name order.
std::vector<std::string> renderNodes(const std::string& directory = "/dev/dri");

class VaapiCompressionSession : public CompressionSession {
  public:
    // Fails with couldNotFindVideoEncoder without a render node, a VA-API device or the encoder,
    // and where low-latency rate control is asked for but the device has no low-power encoder.
    static CodecResult<std::unique_ptr<CompressionSession>> create(
        int width, int height, const EncoderRequirements& requirements,
        const std::string& nodeDirectory = "/dev/dri");
    ~VaapiCompressionSession() override;

    CodecStatus setProperties(const CompressionProperties& properties) override;
    CodecStatus prepareToEncodeFrames() override;
    CodecResult<std::string> encoderID() const override;
    CodecStatus encodeFrame(const PixelBuffer& frame, MediaTime presentationTime,
                            MediaTime duration, FrameOptions options,
                            const EncodeCompletion& completion) override;
    CodecStatus completeFrames() override;
    void invalidate() override;

  private:
    struct Pending {
        std::int64_t pts = 0;
        MediaTime presentationTime{0};
        MediaTime duration{0};
        EncodeCompletion completion;
    };
    using Ready = std::vector<std::pair<EncodeCompletion, std::optional<EncodedSample>>>;

    VaapiCompressionSession(int width, int height, AVBufferRef* device, std::string node,
                            bool lowPower);
    CodecStatus open(const ColorDescription& frameColor, PixelFormat format);
    void closeEncoder();
    void receivePackets(Ready& ready);

    const int width_;
    const int height_;
    const std::string node_;
    const bool lowPower_;
    mutable std::mutex mutex_;
    bool invalidated_ = false;
    CompressionProperties properties_;
    AVBufferRef* device_ = nullptr;
    AVBufferRef* frames_ = nullptr;
    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = nullptr;
    PixelFormat openFormat_ = PixelFormat::biPlanar420Video8;
    std::int64_t nextPts_ = 0;
    std::deque<Pending> pending_;
    std::shared_ptr<const VideoFormatDescription> formatDescription_;
};

// The hardware factory for X265VideoCodecService.
CodecResult<std::unique_ptr<CompressionSession>> createVaapiSession(
    int width, int height, const EncoderRequirements& requirements);

}  // namespace vl
