// platform/videocodec/x265: the codec service of this host. Sessions that require or prefer
// hardware go to the hardware encoder where one exists (a render node); the software tier is x265.
#pragma once

#include "platform/videocodec/Interface.h"

#include <functional>

namespace vl {

class X265VideoCodecService : public VideoCodecService {
  public:
    // The hardware encoder's factory, or none when this build has no hardware tier.
    using HardwareFactory = std::function<CodecResult<std::unique_ptr<CompressionSession>>(
        int width, int height, const EncoderRequirements& requirements)>;

    explicit X265VideoCodecService(HardwareFactory hardware = {});

    CodecResult<std::unique_ptr<CompressionSession>> createCompressionSession(
        int width, int height, const EncoderRequirements& requirements) override;
    CodecResult<std::vector<VideoEncoderInfo>> listEncoders() override;

  private:
    HardwareFactory hardware_;
};

}  // namespace vl
