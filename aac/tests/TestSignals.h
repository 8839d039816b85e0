// Deterministic test items for quality checks and benchmarks (48 kHz, interleaved).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "aac/tools/WavFile.h"

namespace vl::aac::test {

struct TestItem {
    std::string name;
    int channels = 2;
    std::vector<float> samples;  // interleaved
    bool broadband = false;      // has content above 15 kHz worth keeping
    double snrFloorDb = 0.0;     // regression floor for the default stereo rate
};

inline TestItem multiTone(double seconds = 3.0) {
    TestItem item{"multi-tone", 2, {}, false, 20.0};
    const double tones[] = {200, 600, 1000, 2500, 5000, 8000, 12000, 16000};
    const int frames = int(seconds * 48000);
    item.samples.resize(std::size_t(frames) * 2);
    const double a = std::pow(10.0, -26.0 / 20.0);
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < 2; ++c) {
            double v = 0;
            for (int t = 0; t < 8; ++t)
                v += a * std::sin(2 * std::numbers::pi * tones[t] * i / 48000.0 + c * 0.7 * t);
            item.samples[std::size_t(i) * 2 + c] = float(v);
        }
    return item;
}

inline TestItem pinkNoise(double seconds = 3.0) {
    TestItem item{"pink noise", 2, {}, true, 3.5};
    const int frames = int(seconds * 48000);
    item.samples.resize(std::size_t(frames) * 2);
    for (int c = 0; c < 2; ++c) {
        std::mt19937 rng(1234 + c);
        std::normal_distribution<double> white(0.0, 1.0);
        double b[7] = {};
        for (int i = 0; i < frames; ++i) {
            // Kellet's economy pink filter.
            const double w = white(rng);
            b[0] = 0.99886 * b[0] + w * 0.0555179;
            b[1] = 0.99332 * b[1] + w * 0.0750759;
            b[2] = 0.96900 * b[2] + w * 0.1538520;
            b[3] = 0.86650 * b[3] + w * 0.3104856;
            b[4] = 0.55000 * b[4] + w * 0.5329522;
            b[5] = -0.7616 * b[5] - w * 0.0168980;
            const double pink = b[0] + b[1] + b[2] + b[3] + b[4] + b[5] + b[6] + w * 0.5362;
            b[6] = w * 0.115926;
            item.samples[std::size_t(i) * 2 + c] = float(0.1 * pink / 3.0);
        }
    }
    return item;
}

inline TestItem chirp(double seconds = 3.0) {
    TestItem item{"chirp 50 Hz-20 kHz", 2, {}, true, 31.0};
    const int frames = int(seconds * 48000);
    item.samples.resize(std::size_t(frames) * 2);
    const double f0 = 50, f1 = 20000, k = std::log(f1 / f0) / seconds;
    for (int i = 0; i < frames; ++i) {
        const double t = i / 48000.0;
        const double phase = 2 * std::numbers::pi * f0 * (std::exp(k * t) - 1.0) / k;
        item.samples[std::size_t(i) * 2] = float(0.25 * std::sin(phase));
        item.samples[std::size_t(i) * 2 + 1] = float(0.25 * std::cos(phase));
    }
    return item;
}

inline TestItem clicks(double seconds = 3.0) {
    TestItem item{"clicks", 2, {}, true, 1.5};
    const int frames = int(seconds * 48000);
    item.samples.assign(std::size_t(frames) * 2, 0.0f);
    for (int start = 2400; start < frames; start += 4800)
        for (int i = 0; i < 480 && start + i < frames; ++i) {
            // An impulse with a short ring: flat spectrum, sharp attack.
            const double v =
                (i == 0 ? 0.6 : 0.0) +
                0.3 * std::exp(-i / 24.0) * std::cos(2 * std::numbers::pi * 5000 * i / 48000.0);
            item.samples[std::size_t(start + i) * 2] = float(v);
            item.samples[std::size_t(start + i) * 2 + 1] = float(-0.7 * v);
        }
    return item;
}

inline TestItem castanets(double seconds = 3.0) {
    TestItem item{"castanet bursts", 2, {}, true, 1.5};
    const int frames = int(seconds * 48000);
    item.samples.assign(std::size_t(frames) * 2, 0.0f);
    std::mt19937 rng(99);
    std::normal_distribution<double> white(0.0, 1.0);
    for (int start = 1000, n = 0; start < frames; start += (n % 3 == 2 ? 9600 : 3400), ++n)
        for (int c = 0; c < 2; ++c) {
            double previous[2] = {};
            for (int i = 0; i < 1200 && start + i < frames; ++i) {
                const double w = white(rng);
                const double band = w - previous[1];  // zeros at 0 and 24 kHz, peak at 12 kHz
                previous[1] = previous[0];
                previous[0] = w;
                const double env = std::min(1.0, i / 10.0) * std::exp(-i / 240.0);
                item.samples[std::size_t(start + i) * 2 + c] = float(0.3 * env * band);
            }
        }
    return item;
}

// Speech from espeak-ng, resampled to 48 kHz stereo by ffmpeg; nothing when either is missing.
inline std::optional<TestItem> speech(const std::filesystem::path& workDir) {
    const auto raw = workDir / "speech-raw.wav";
    const auto wav = workDir / "speech.wav";
    const std::string say = "espeak-ng -v en -s 150 -w '" + raw.string() +
                            "' 'The quick brown fox jumps over the lazy dog. Audio from the "
                            "headset arrives ten milliseconds at a time.' >/dev/null 2>&1";
    if (std::system(say.c_str()) != 0) return std::nullopt;
    const std::string convert = "ffmpeg -hide_banner -loglevel error -y -i '" + raw.string() +
                                "' -ar 48000 -ac 2 -c:a pcm_f32le '" + wav.string() + "'";
    if (std::system(convert.c_str()) != 0) return std::nullopt;
    std::string error;
    auto audio = tools::readWav(wav.string(), error);
    std::filesystem::remove(raw);
    std::filesystem::remove(wav);
    if (!audio || audio->channels != 2) return std::nullopt;
    return TestItem{"speech (espeak-ng)", 2, std::move(audio->samples), false, 19.0};
}

}  // namespace vl::aac::test
