// Capture: a PCM format as the audio tap describes it — a stream description, and for more than
// two channels the discrete-in-order channel layout that names them.
#pragma once

#include "platform/audio/Interface.h"

#include <cstdint>
#include <optional>
#include <string>

namespace vl {

inline constexpr std::uint32_t kAudioChannelLayoutTag_DiscreteInOrder = 147u << 16;

struct PcmFormat {
    AudioStreamDescription description;
    std::uint32_t channelLayoutTag = 0;  // 0: the plain mono/stereo order

    std::uint32_t channelCount() const { return description.channelsPerFrame; }
    double sampleRate() const { return description.sampleRate; }
    bool isFloat32() const {
        return (description.formatFlags & audioFormatFlagIsFloat) &&
               description.bitsPerChannel == 32;
    }
    bool isInterleaved() const {
        return !(description.formatFlags & audioFormatFlagIsNonInterleaved);
    }
    // Bytes of one frame across all channels.
    std::uint32_t bytesPerFrame() const {
        return isInterleaved() ? description.bytesPerFrame
                               : description.bytesPerFrame * description.channelsPerFrame;
    }

    // From a stream description alone: linear PCM of up to two channels in a layout we read
    // (16/32-bit integer or 32-bit float, little endian); none otherwise.
    static std::optional<PcmFormat> make(const AudioStreamDescription& description);
    // With a channel layout, for any channel count.
    static std::optional<PcmFormat> make(const AudioStreamDescription& description,
                                         std::uint32_t channelLayoutTag);
    // 32-bit float interleaved.
    static PcmFormat float32(double rate, std::uint32_t channels, std::uint32_t layoutTag = 0);

    // "48000 Hz, 2 ch, float32, interleaved".
    std::string describe() const;
    bool operator==(const PcmFormat&) const = default;
};

}  // namespace vl
