// platform/audio/testing: tones for tests — a float WAV file to play with an independent player,
// and the frequency and level of what came back.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace vl::testing {

// A sine of `peak` amplitude (0.1 is -20 dBFS) on the given channels (all when mask is 0),
// silence on the others, as 32-bit float WAV.
inline void writeToneWav(const std::string& path, double frequency, double peak, int rate,
                         int channels, double seconds, std::uint32_t channelMask = 0) {
    const auto frames = std::uint32_t(seconds * rate);
    std::vector<float> samples(std::size_t(frames) * channels);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const float v = float(peak * std::sin(2 * M_PI * frequency * i / rate));
        for (int c = 0; c < channels; ++c)
            samples[std::size_t(i) * channels + c] =
                (channelMask == 0 || (channelMask >> c) & 1) ? v : 0.0f;
    }
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    const std::uint32_t dataBytes = std::uint32_t(samples.size() * 4);
    out.write("RIFF", 4);
    u32(36 + dataBytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(3);  // IEEE float
    u16(std::uint16_t(channels));
    u32(std::uint32_t(rate));
    u32(std::uint32_t(rate * channels * 4));
    u16(std::uint16_t(channels * 4));
    u16(32);
    out.write("data", 4);
    u32(dataBytes);
    out.write(reinterpret_cast<const char*>(samples.data()), dataBytes);
}

// Frequency of a steady tone from its rising zero crossings (interpolated); 0 without two.
inline double dominantFrequency(const std::vector<float>& x, double rate) {
    double first = -1, last = -1;
    int crossings = 0;
    for (std::size_t i = 1; i < x.size(); ++i) {
        if (x[i - 1] < 0 && x[i] >= 0) {
            const double t = double(i - 1) + x[i - 1] / double(x[i - 1] - x[i]);
            if (first < 0) first = t;
            last = t;
            ++crossings;
        }
    }
    if (crossings < 2 || last <= first) return 0;
    return (crossings - 1) * rate / (last - first);
}

// Peak level in dBFS from the RMS of a sine (RMS x sqrt 2), so single-sample overshoots of a
// lossy codec do not count; -inf for silence.
inline double peakDbfs(const std::vector<float>& x) {
    double sum = 0;
    for (float v : x) sum += double(v) * v;
    if (x.empty() || sum == 0) return -INFINITY;
    return 20 * std::log10(std::sqrt(sum / double(x.size())) * std::sqrt(2.0));
}

// The dominant frequency and the peak level of each consecutive window of `window` samples.
struct ToneWindow {
    double frequency = 0;
    double dbfs = 0;
};
inline std::vector<ToneWindow> toneWindowsOf(const std::vector<float>& x, double rate,
                                             std::size_t window) {
    std::vector<ToneWindow> windows;
    for (std::size_t at = 0; at + window <= x.size(); at += window) {
        const std::vector<float> part(x.begin() + long(at), x.begin() + long(at + window));
        windows.push_back({dominantFrequency(part, rate), peakDbfs(part)});
    }
    return windows;
}

// "<Hz> Hz at <level> dBFS; …", for a failure message.
inline std::string describe(const std::vector<ToneWindow>& windows) {
    std::string text;
    for (const ToneWindow& w : windows)
        text += std::to_string(w.frequency) + " Hz at " + std::to_string(w.dbfs) + " dBFS; ";
    return text;
}

// How many of the windows hold a tone of `frequency` Hz (within `hertz`) at `dbfs` (within
// `decibels`). A stalled machine can make a sound server lose a cycle of its graph, which spoils
// the window it falls in, so checks allow for one.
inline int toneWindows(const std::vector<ToneWindow>& windows, double frequency, double hertz,
                       double dbfs, double decibels) {
    return int(std::count_if(windows.begin(), windows.end(), [&](const ToneWindow& w) {
        return std::fabs(w.frequency - frequency) <= hertz && std::fabs(w.dbfs - dbfs) <= decibels;
    }));
}

}  // namespace vl::testing
