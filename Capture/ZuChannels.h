// Capture: the channel layouts of the system audio stream, and the layout offered for a client's
// display resolution.
#pragma once

#include <cstdint>
#include <optional>

#include "phantomScreen/Resolution.h"

namespace vl {

// The raw value is the channel count.
enum class ZuChannels : std::uint32_t {
    stereo = 2,
    twoPointOne = 3,    // L R LFE
    fivePointOne = 6,   // L R C LFE Ls Rs
    sevenPointOne = 8,  // L R C LFE Ls Rs Rls Rrs
    atmos = 12,         // L R C LFE Ls Rs Rls Rrs Vhl Vhr Ltr Rtr
};

// Exactly the five counts above; anything else is no layout.
std::optional<ZuChannels> zuChannelsFromRawValue(std::uint32_t channelCount);
inline std::uint32_t channelCount(ZuChannels layout) {
    return static_cast<std::uint32_t>(layout);
}
// The case name ("stereo", "fivePointOne", ...).
const char* description(ZuChannels layout);

// Small displays get stereo, medium ones 5.1, the large ones 7.1; twoPointOne and atmos are
// never offered.
ZuChannels resolutionOfSupportedAudioChannels(Resolution resolution);

}  // namespace vl
