#include "platform/videocodec/x265/X265VideoCodecService.h"

#include "platform/videocodec/x265/X265CompressionSession.h"

#include <x265.h>

namespace vl {

X265VideoCodecService::X265VideoCodecService(HardwareFactory hardware)
    : hardware_(std::move(hardware)) {}

CodecResult<std::unique_ptr<CompressionSession>> X265VideoCodecService::createCompressionSession(
    int width, int height, const EncoderRequirements& requirements) {
    // HEVC 4:2:0 needs even sizes; x265 itself refuses less than a coding block.
    if (width < 16 || height < 16 || width % 2 != 0 || height % 2 != 0) {
        return {nullptr, CodecStatus::parameterError};
    }
    const bool wantsHardware = requirements.requireHardwareAcceleratedVideoEncoder ||
                               requirements.enableHardwareAcceleratedVideoEncoder;
    if (wantsHardware) {
        CodecResult<std::unique_ptr<CompressionSession>> hardware{
            nullptr, CodecStatus::couldNotFindVideoEncoder};
        if (hardware_) hardware = hardware_(width, height, requirements);
        if (hardware.ok() || requirements.requireHardwareAcceleratedVideoEncoder) {
            return hardware;
        }
    }
    return {std::make_unique<X265CompressionSession>(width, height), CodecStatus::noErr};
}

CodecResult<std::vector<VideoEncoderInfo>> X265VideoCodecService::listEncoders() {
    std::vector<VideoEncoderInfo> encoders;
    if (hardware_) {
        // Probed with a small session: a hardware encoder is listed only where it opens.
        EncoderRequirements required;
        required.requireHardwareAcceleratedVideoEncoder = true;
        if (hardware_(64, 64, required).ok()) {
            encoders.push_back({"hvc1", "HEVC (VA-API)", "vaapi.hevc", true});
        }
    }
    encoders.push_back(
        {"hvc1", std::string("x265 ") + x265_version_str, "x265.hevc.software", false});
    return {encoders, CodecStatus::noErr};
}

}  // namespace vl
