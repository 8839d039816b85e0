// platform/videocodec/x265: the software tier — an x265 HEVC encoder configured so that every
// picture comes back from the call that submitted it.
#pragma once

#include "platform/videocodec/Interface.h"

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

struct x265_api;
struct x265_encoder;
struct x265_param;

namespace vl {

class X265CompressionSession : public CompressionSession {
  public:
    X265CompressionSession(int width, int height);
    ~X265CompressionSession() override;

    CodecStatus setProperties(const CompressionProperties& properties) override;
    CodecStatus prepareToEncodeFrames() override;
    CodecResult<std::string> encoderID() const override;
    CodecStatus encodeFrame(const PixelBuffer& frame, MediaTime presentationTime,
                            MediaTime duration, FrameOptions options,
                            const EncodeCompletion& completion) override;
    CodecStatus completeFrames() override;
    void invalidate() override;

    // The preset and tuning the parameters start from, and everything but the bit depth and
    // colour that the properties decide (the benchmarks' raw baseline is configured by this too).
    static constexpr const char* preset = "ultrafast";
    static constexpr const char* tune = "zerolatency";
    static void configure(x265_param& parameters, const CompressionProperties& properties,
                          int width, int height);

    // The encoder's parameters as opened, for tests; none before the encoder is open.
    struct OpenedParameters {
        int bitDepth = 8;
        int keyframeMax = 0;
        bool intraRefresh = false;
        double rateFactor = 0;  // 0: the rate is targeted instead
        int bitrateKbps = 0;
        int vbvMaxBitrateKbps = 0;
        int vbvBufferSizeKbits = 0;
        int qpMin = 0;
        int colorPrimaries = 0;
        int transferCharacteristics = 0;
        int matrixCoeffs = 0;
        bool fullRange = false;
    };
    std::optional<OpenedParameters> openedParameters() const;

  private:
    struct Pending {
        std::int64_t pts = 0;
        MediaTime presentationTime{0};
        MediaTime duration{0};
        EncodeCompletion completion;
    };

    CodecStatus open(const ColorDescription& frameColor);
    void closeEncoder();
    // Turns the encoder's output into a sample and hands it to the pending frame it belongs to.
    void deliver(void* nals, std::uint32_t nalCount, void* pictureOut,
                 std::vector<std::pair<EncodeCompletion, std::optional<EncodedSample>>>& ready);

    const int width_;
    const int height_;
    mutable std::mutex mutex_;
    bool invalidated_ = false;
    CompressionProperties properties_;
    const x265_api* api_ = nullptr;
    x265_param* param_ = nullptr;
    x265_encoder* encoder_ = nullptr;
    std::int64_t nextPts_ = 0;
    std::deque<Pending> pending_;
    std::shared_ptr<const VideoFormatDescription> formatDescription_;
    std::vector<std::uint8_t> scratch_;  // planar copies of what x265 cannot read in place
    std::optional<OpenedParameters> opened_;
};

}  // namespace vl
