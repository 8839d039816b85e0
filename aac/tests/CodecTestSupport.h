// Helpers for codec tests: signals, an encode/decode round trip through libavcodec, measures.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

#include "aac/AacEldDecoder.h"
#include "aac/AacEldEncoder.h"

namespace vl::aac::test {

inline constexpr int kDelay = 240;

// Interleaved test signal: channel c is gen(c, i) for frame i.
template <typename Gen>
std::vector<float> makeSignal(int channels, int frames, Gen gen) {
    std::vector<float> v(std::size_t(channels) * frames);
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c) v[std::size_t(i) * channels + c] = float(gen(c, i));
    return v;
}

inline double sineAt(double hz, double amplitude, int i) {
    return amplitude * std::sin(2.0 * std::numbers::pi * hz * i / 48000.0);
}

struct RoundTrip {
    std::vector<std::vector<float>> output;  // per decoded channel, in decoder order
    std::vector<std::string> names;          // decoder channel names
    int units = 0;
    int decodeFailures = 0;
    int maxBits = 0;
    int maxUnitBytes = 0;
    int budget = 0;
    int overBudget = 0;
    double meanBytes = 0.0;
    std::vector<int> unitBytes;
};

inline RoundTrip roundTrip(EldChannelLayout layout, const std::vector<float>& interleaved,
                           int bitRate = 0) {
    RoundTrip rt;
    AacEldEncoder encoder(layout, bitRate);
    auto decoder = AacEldDecoder::create(encoder.audioSpecificConfig());
    if (!decoder) return rt;
    rt.names = decoder->channelNames();
    rt.output.resize(decoder->channelCount());
    rt.budget = encoder.bitsPerFrame();
    const int channels = encoder.channelCount();
    const int frames = int(interleaved.size() / channels);
    double totalBytes = 0;
    for (int start = 0; start + 480 <= frames; start += 480) {
        const auto unit = encoder.encode(interleaved.data() + std::size_t(start) * channels);
        ++rt.units;
        rt.maxBits = std::max(rt.maxBits, encoder.lastFrame().bits);
        rt.maxUnitBytes = std::max(rt.maxUnitBytes, int(unit.size()));
        if (int(unit.size()) * 8 > rt.budget + 7) ++rt.overBudget;
        totalBytes += unit.size();
        rt.unitBytes.push_back(int(unit.size()));
        auto audio = decoder->decode(unit.data(), unit.size());
        if (!audio) {
            ++rt.decodeFailures;
            for (auto& ch : rt.output) ch.insert(ch.end(), 480, 0.0f);
            continue;
        }
        for (int c = 0; c < audio->channels; ++c)
            rt.output[c].insert(rt.output[c].end(), audio->channel(c), audio->channel(c) + 480);
    }
    rt.meanBytes = rt.units ? totalBytes / rt.units : 0.0;
    return rt;
}

// Input channel `c` of an interleaved signal, delayed to line up with decoded output.
inline std::vector<float> delayedChannel(const std::vector<float>& interleaved, int channels, int c,
                                         std::size_t length) {
    std::vector<float> v(length, 0.0f);
    for (std::size_t i = kDelay; i < length; ++i) {
        const std::size_t src = (i - kDelay) * channels + c;
        if (src < interleaved.size()) v[i] = interleaved[src];
    }
    return v;
}

inline double snrDb(const std::vector<float>& reference, const std::vector<float>& decoded,
                    std::size_t from) {
    double s = 0, e = 0;
    for (std::size_t i = from; i < std::min(reference.size(), decoded.size()); ++i) {
        s += double(reference[i]) * reference[i];
        const double d = double(reference[i]) - decoded[i];
        e += d * d;
    }
    return 10.0 * std::log10((s + 1e-30) / (e + 1e-30));
}

inline double rmsDb(const std::vector<float>& v, std::size_t from) {
    double s = 0;
    for (std::size_t i = from; i < v.size(); ++i) s += double(v[i]) * v[i];
    return 10.0 * std::log10(s / double(v.size() - from) + 1e-30);
}

// Frequency of the strongest spectral line (Goertzel scan in 1 Hz steps around `near`).
inline double goertzelPowerDb(const std::vector<float>& v, std::size_t from, double hz) {
    const double w = 2.0 * std::numbers::pi * hz / 48000.0;
    double re = 0, im = 0;
    for (std::size_t i = from; i < v.size(); ++i) {
        re += v[i] * std::cos(w * double(i));
        im -= v[i] * std::sin(w * double(i));
    }
    const double n = double(v.size() - from);
    const double amplitude = 2.0 * std::sqrt(re * re + im * im) / n;
    return 20.0 * std::log10(amplitude + 1e-30);
}

}  // namespace vl::aac::test
