// aaceld: minimal RIFF/WAVE reading (PCM 16/24/32-bit, float 32-bit) and float writing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vl::aac::tools {

struct WavAudio {
    int sampleRate = 0;
    int channels = 0;
    uint32_t channelMask = 0;    // WAVE_FORMAT_EXTENSIBLE speaker mask, 0 when absent
    std::vector<float> samples;  // interleaved
    std::size_t frames() const { return channels ? samples.size() / channels : 0; }
};

std::optional<WavAudio> readWav(const std::string& path, std::string& error);
// 32-bit float, WAVE_FORMAT_EXTENSIBLE with `channelMask` when it is non-zero.
bool writeWav(const std::string& path, const WavAudio& audio, std::string& error);

}  // namespace vl::aac::tools
