#include "Capture/ZuChannels.h"

namespace vl {

std::optional<ZuChannels> zuChannelsFromRawValue(std::uint32_t channelCount) {
    switch (channelCount) {
        case 2:
            return ZuChannels::stereo;
        case 3:
            return ZuChannels::twoPointOne;
        case 6:
            return ZuChannels::fivePointOne;
        case 8:
            return ZuChannels::sevenPointOne;
        case 12:
            return ZuChannels::atmos;
        default:
            return std::nullopt;
    }
}

const char* description(ZuChannels layout) {
    switch (layout) {
        case ZuChannels::stereo:
            return "stereo";
        case ZuChannels::twoPointOne:
            return "twoPointOne";
        case ZuChannels::fivePointOne:
            return "fivePointOne";
        case ZuChannels::sevenPointOne:
            return "sevenPointOne";
        case ZuChannels::atmos:
            return "atmos";
    }
    return "unknown";
}

ZuChannels resolutionOfSupportedAudioChannels(Resolution resolution) {
    switch (resolution.rawValue()) {
        case Resolution::RES_XSS:
        case Resolution::RES_XS:
        case Resolution::RES_S1:
            return ZuChannels::stereo;
        case Resolution::RES_S:
        case Resolution::RES_S2:
            return ZuChannels::fivePointOne;
        case Resolution::RES_M:
        case Resolution::RES_L:
        case Resolution::RES_XL:
        case Resolution::RES_XXL:
        case Resolution::RES_S3:
            return ZuChannels::sevenPointOne;
    }
    return ZuChannels::stereo;
}

}  // namespace vl
