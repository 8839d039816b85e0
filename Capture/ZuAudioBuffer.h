// Capture: a block of 48 kHz 32-bit float PCM, either interleaved (frame by frame) or one plane
// per channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vl {

struct ZuAudioBuffer {
    std::uint32_t channelCount = 0;
    std::uint32_t frameLength = 0;
    bool interleaved = true;
    // Interleaved: sample c of frame i at [i * channelCount + c].
    // Deinterleaved: channel c at [c * frameLength, (c + 1) * frameLength).
    std::vector<float> samples;

    static ZuAudioBuffer makeInterleaved(std::uint32_t channels, std::vector<float> samples) {
        ZuAudioBuffer b;
        b.channelCount = channels;
        b.frameLength = channels ? std::uint32_t(samples.size() / channels) : 0;
        b.interleaved = true;
        b.samples = std::move(samples);
        return b;
    }

    // Whole frames the samples actually hold, whatever frameLength claims.
    std::uint32_t availableFrames() const {
        if (channelCount == 0) return 0;
        const std::size_t held = samples.size() / channelCount;
        return held < frameLength ? std::uint32_t(held) : frameLength;
    }

    // Deinterleaved buffers only.
    const float* channelData(std::uint32_t c) const {
        return samples.data() + std::size_t(c) * frameLength;
    }

    // Largest absolute sample over all channels.
    float peak() const {
        float p = 0.0f;
        for (float v : samples) p = v > p ? v : (-v > p ? -v : p);
        return p;
    }
};

}  // namespace vl
