#include "platform/videocodec/Interface.h"

namespace vl {

const char* description(CodecStatus status) {
    switch (status) {
        case CodecStatus::noErr:
            return "no error";
        case CodecStatus::propertyNotSupported:
            return "property not supported";
        case CodecStatus::parameterError:
            return "parameter error";
        case CodecStatus::invalidSession:
            return "invalid session";
        case CodecStatus::allocationFailed:
            return "allocation failed";
        case CodecStatus::pixelTransferNotSupported:
            return "pixel transfer not supported";
        case CodecStatus::couldNotFindVideoEncoder:
            return "could not find video encoder";
        case CodecStatus::couldNotCreateInstance:
            return "could not create encoder instance";
        case CodecStatus::encoderMalfunction:
            return "video encoder malfunction";
        case CodecStatus::encoderListUnavailable:
            return "encoder list unavailable";
    }
    return "unknown status";
}

const char* description(EncoderTier tier) {
    switch (tier) {
        case EncoderTier::hwLowLatency:
            return "HW + low-latency RC";
        case EncoderTier::hwOnly:
            return "HW";
        case EncoderTier::hwPreferred:
            return "HW preferred";
        case EncoderTier::software:
            return "SW fallback";
    }
    return "unknown";
}

EncoderRequirements EncoderRequirements::forTier(EncoderTier tier) {
    EncoderRequirements requirements;
    switch (tier) {
        case EncoderTier::hwLowLatency:
            requirements.requireHardwareAcceleratedVideoEncoder = true;
            requirements.enableLowLatencyRateControl = true;
            break;
        case EncoderTier::hwOnly:
            requirements.requireHardwareAcceleratedVideoEncoder = true;
            break;
        case EncoderTier::hwPreferred:
            requirements.enableHardwareAcceleratedVideoEncoder = true;
            break;
        case EncoderTier::software:
            break;
    }
    return requirements;
}

std::string EncoderRequirements::description() const {
    std::string text;
    auto add = [&](const char* key) {
        text += text.empty() ? "{" : ", ";
        text += key;
        text += ": true";
    };
    if (requireHardwareAcceleratedVideoEncoder) add("RequireHardwareAcceleratedVideoEncoder");
    if (enableHardwareAcceleratedVideoEncoder) add("EnableHardwareAcceleratedVideoEncoder");
    if (enableLowLatencyRateControl) add("EnableLowLatencyRateControl");
    return text.empty() ? "{}" : text + "}";
}

}  // namespace vl
