#include "Capture/PcmFormat.h"

namespace vl {

std::optional<PcmFormat> PcmFormat::make(const AudioStreamDescription& description) {
    if (description.channelsPerFrame > 2) return std::nullopt;
    return make(description, 0);
}

std::optional<PcmFormat> PcmFormat::make(const AudioStreamDescription& d,
                                         std::uint32_t channelLayoutTag) {
    if (d.formatID != audioFormatLinearPCM || d.channelsPerFrame == 0 || d.sampleRate <= 0)
        return std::nullopt;
    if (d.formatFlags & audioFormatFlagIsBigEndian) return std::nullopt;
    const bool isFloat = d.formatFlags & audioFormatFlagIsFloat;
    const bool ok = isFloat ? d.bitsPerChannel == 32
                            : (d.formatFlags & audioFormatFlagIsSignedInteger) &&
                                  (d.bitsPerChannel == 16 || d.bitsPerChannel == 32);
    if (!ok) return std::nullopt;
    const bool interleaved = !(d.formatFlags & audioFormatFlagIsNonInterleaved);
    const std::uint32_t sampleBytes = d.bitsPerChannel / 8;
    if (d.bytesPerFrame != sampleBytes * (interleaved ? d.channelsPerFrame : 1))
        return std::nullopt;
    if (channelLayoutTag && (channelLayoutTag & 0xffff) != d.channelsPerFrame) return std::nullopt;
    return PcmFormat{d, channelLayoutTag};
}

PcmFormat PcmFormat::float32(double rate, std::uint32_t channels, std::uint32_t layoutTag) {
    return PcmFormat{AudioStreamDescription::float32(rate, channels), layoutTag};
}

std::string PcmFormat::describe() const {
    std::string text = std::to_string(int(description.sampleRate)) + " Hz, " +
                       std::to_string(description.channelsPerFrame) + " ch, " +
                       ((description.formatFlags & audioFormatFlagIsFloat) ? "float" : "int") +
                       std::to_string(description.bitsPerChannel) +
                       (isInterleaved() ? ", interleaved" : ", deinterleaved");
    if (channelLayoutTag == (kAudioChannelLayoutTag_DiscreteInOrder | channelCount()))
        text += ", discrete";
    return text;
}

}  // namespace vl
