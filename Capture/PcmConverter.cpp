#include "Capture/PcmConverter.h"

#include <cmath>
#include <cstring>

namespace vl {

std::optional<PcmConverter> PcmConverter::make(const PcmFormat& from, const PcmFormat& to) {
    if (!to.isFloat32() || !to.isInterleaved() || from.channelCount() != to.channelCount() ||
        from.sampleRate() <= 0 || to.sampleRate() <= 0)
        return std::nullopt;
    return PcmConverter(from, to);
}

PcmConverter::PcmConverter(PcmFormat from, PcmFormat to)
    : from_(std::move(from)),
      to_(std::move(to)),
      step_(from_.sampleRate() / to_.sampleRate()),
      history_(from_.channelCount(), 0.0f) {}

std::uint32_t PcmConverter::outputCapacity(std::uint32_t inputFrames) const {
    // Rounding must not turn an exact 480 into 481.
    return std::uint32_t(std::ceil(to_.sampleRate() / from_.sampleRate() * inputFrames - 1e-9)) + 1;
}

std::vector<float> PcmConverter::toFloatInterleaved(const PcmBuffer& input) {
    const auto& d = input.format.description;
    const std::uint32_t channels = d.channelsPerFrame;
    const std::uint32_t sampleBytes = d.bitsPerChannel / 8;
    const std::size_t frames = std::min<std::size_t>(
        input.frameLength, input.data.size() / (std::size_t(sampleBytes) * channels));
    const bool interleaved = input.format.isInterleaved();
    const bool isFloat = d.formatFlags & audioFormatFlagIsFloat;
    std::vector<float> out(frames * channels);
    for (std::size_t i = 0; i < frames; ++i) {
        for (std::uint32_t c = 0; c < channels; ++c) {
            const std::size_t index = interleaved ? i * channels + c : c * input.frameLength + i;
            const std::uint8_t* p = input.data.data() + index * sampleBytes;
            float v;
            if (isFloat) {
                std::memcpy(&v, p, 4);
            } else if (sampleBytes == 2) {
                std::int16_t s;
                std::memcpy(&s, p, 2);
                v = float(s) / 32768.0f;
            } else {
                std::int32_t s;
                std::memcpy(&s, p, 4);
                v = float(double(s) / 2147483648.0);
            }
            out[i * channels + c] = v;
        }
    }
    return out;
}

ZuAudioBuffer PcmConverter::convert(const PcmBuffer& input, std::uint32_t capacity) {
    const std::uint32_t channels = from_.channelCount();
    const std::vector<float> in = toFloatInterleaved(input);
    const std::size_t n = in.size() / channels;
    std::vector<float> out;
    out.reserve(std::size_t(capacity) * channels);
    // Frame k of the input sits at position k + 1; position 0 is the last frame of the
    // previous buffer.
    auto sample = [&](std::size_t frame, std::uint32_t c) {
        return frame == 0 ? history_[c] : in[(frame - 1) * channels + c];
    };
    double t = position_;
    while (t <= double(n) && out.size() / channels < capacity) {
        const auto i = std::size_t(t);
        const double f = t - double(i);
        for (std::uint32_t c = 0; c < channels; ++c) {
            const float a = sample(i, c);
            const float b = (f > 0 && i + 1 <= n) ? sample(i + 1, c) : a;
            out.push_back(float(a + (b - a) * f));
        }
        t += step_;
    }
    if (n > 0) {
        for (std::uint32_t c = 0; c < channels; ++c) history_[c] = in[(n - 1) * channels + c];
        position_ = t - double(n);
    }
    return ZuAudioBuffer::makeInterleaved(channels, std::move(out));
}

}  // namespace vl
