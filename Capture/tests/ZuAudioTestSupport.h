// Helpers for the codec wrapper tests: report capture, tones, tone levels.
#pragma once

#include <algorithm>
#include <cmath>
#include <mutex>
#include <numbers>
#include <string>
#include <vector>

#include "base/Logger.h"

namespace vl::test {

// Collects every report written while alive.
class ReportCapture {
  public:
    ReportCapture() {
        Logger::shared().setCaptureHook([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        });
    }
    ~ReportCapture() {
        Logger::shared().flush();
        Logger::shared().setCaptureHook(nullptr);
    }
    std::vector<std::string> lines() {
        Logger::shared().flush();
        std::lock_guard lock(mutex_);
        return lines_;
    }
    int count(const std::string& text) {
        const auto all = lines();
        return int(std::count_if(all.begin(), all.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        }));
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

inline double toneHz(int channel) {
    return 500.0 + 375.0 * channel;
}

// `frames` frames of `channels` interleaved tones (toneHz(c) in channel c) from frame `first`.
inline std::vector<float> tones(int channels, int frames, int first = 0, double amplitude = 0.2) {
    std::vector<float> v(std::size_t(channels) * frames);
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            v[std::size_t(i) * channels + c] = float(
                amplitude * std::sin(2 * std::numbers::pi * toneHz(c) * (first + i) / 48000.0));
    return v;
}

// Level in dB of the `hz` component of `v` from sample `from` on (1.0 peak sine = 0 dB).
inline double toneLevelDb(const std::vector<float>& v, std::size_t from, double hz) {
    const double w = 2.0 * std::numbers::pi * hz / 48000.0;
    double re = 0, im = 0;
    for (std::size_t i = from; i < v.size(); ++i) {
        re += v[i] * std::cos(w * double(i));
        im -= v[i] * std::sin(w * double(i));
    }
    return 20.0 * std::log10(2.0 * std::sqrt(re * re + im * im) / double(v.size() - from) + 1e-30);
}

}  // namespace vl::test
