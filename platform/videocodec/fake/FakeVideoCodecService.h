// platform/videocodec/fake: a deterministic stub codec. Sessions answer like the real ones (tiers,
// statuses, key frames on request or by interval, parameter sets in the format description) and
// record what they were given; the "picture" NAL unit carries the frame's size and number.
#pragma once

#include "platform/videocodec/Interface.h"

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace vl {

// What one fake session was asked to do; shared between the service and the session.
struct FakeSessionRecord {
    int width = 0;
    int height = 0;
    EncoderRequirements requirements;
    bool hardware = false;
    std::optional<CompressionProperties> properties;
    bool prepared = false;
    bool invalidated = false;
    int completeFramesCalls = 0;
    struct Frame {
        int width = 0;
        int height = 0;
        PixelFormat format = PixelFormat::biPlanar420Video8;
        MediaTime presentationTime{0};
        MediaTime duration{0};
        bool forceKeyFrame = false;
        bool keyFrame = false;
    };
    std::vector<Frame> frames;
};

class FakeVideoCodecService : public VideoCodecService {
  public:
    CodecResult<std::unique_ptr<CompressionSession>> createCompressionSession(
        int width, int height, const EncoderRequirements& requirements) override;
    CodecResult<std::vector<VideoEncoderInfo>> listEncoders() override;

    // --- test controls
    // With hardware, the hardware tiers succeed (low-latency rate control only when also set).
    void setHardwareAvailable(bool available, bool lowLatencyRateControl = true);
    // Every creation fails with this status (none: creation works again).
    void failCreation(std::optional<CodecStatus> status);
    void failSetProperties(std::optional<CodecStatus> status);
    // The next n encodeFrame calls (of any session) answer this status without a sample.
    void failEncodes(CodecStatus status, int count = 1);
    void failListEncoders(std::optional<CodecStatus> status);

    // Every session that was made, in order.
    std::vector<std::shared_ptr<const FakeSessionRecord>> sessions() const;
    int creationAttempts() const;

    struct Shared;

  private:
    std::shared_ptr<Shared> shared_ = makeShared();
    static std::shared_ptr<Shared> makeShared();
};

// The picture NAL unit of the fake: (type, 0x01), then width, height and frame number.
struct FakePicture {
    bool idr = false;
    int width = 0;
    int height = 0;
    std::uint32_t frameNumber = 0;
};
std::optional<FakePicture> parseFakePicture(ByteView nalUnit);

}  // namespace vl
