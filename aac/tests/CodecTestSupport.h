// Helpers for codec tests: signals, an encode/decode round trip through libavcodec, measures.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <mutex>

#include <kissfft/kiss_fftr.h>
extern "C" {
#include <libavutil/log.h>
}

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

// Counts libavcodec messages at warning level or worse while alive.
class DecoderWarnings {
  public:
    DecoderWarnings() {
        count() = 0;
        av_log_set_callback([](void*, int level, const char* format, va_list args) {
            if (level > AV_LOG_WARNING) return;
            ++count();
            char text[512];
            std::vsnprintf(text, sizeof text, format, args);
            std::fprintf(stderr, "libavcodec: %s", text);
        });
    }
    ~DecoderWarnings() { av_log_set_callback(av_log_default_callback); }
    int seen() const { return count(); }

  private:
    static std::atomic<int>& count() {
        static std::atomic<int> n{0};
        return n;
    }
};

struct RoundTrip {
    std::vector<std::vector<float>> output;  // per decoded channel, in decoder order
    std::vector<std::string> names;          // decoder channel names
    int units = 0;
    int decodeFailures = 0;
    int decoderWarnings = 0;
    int tnsFrames = 0;
    int maxBits = 0;
    int maxUnitBytes = 0;
    int budget = 0;        // the average budget of a frame
    int maxBudget = 0;     // the largest budget a frame was given (the reservoir's share included)
    int overBudget = 0;    // frames larger than their own budget
    int maxOverdraft = 0;  // most bits sent ahead of the rate, over every prefix of the stream
    double meanBytes = 0.0;
    std::vector<int> unitBytes;
};

inline RoundTrip roundTrip(EldChannelLayout layout, const std::vector<float>& interleaved,
                           int bitRate = 0) {
    RoundTrip rt;
    DecoderWarnings warnings;
    AacEldEncoder encoder(layout, bitRate);
    auto decoder = AacEldDecoder::create(encoder.audioSpecificConfig());
    if (!decoder) return rt;
    rt.names = decoder->channelNames();
    rt.output.resize(decoder->channelCount());
    rt.budget = encoder.bitsPerFrame();
    const int channels = encoder.channelCount();
    const int frames = int(interleaved.size() / channels);
    double totalBytes = 0;
    std::int64_t sentBits = 0;
    for (int start = 0; start + 480 <= frames; start += 480) {
        const auto unit = encoder.encode(interleaved.data() + std::size_t(start) * channels);
        ++rt.units;
        rt.maxBits = std::max(rt.maxBits, encoder.lastFrame().bits);
        if (encoder.lastFrame().tnsChannels > 0) ++rt.tnsFrames;
        rt.maxUnitBytes = std::max(rt.maxUnitBytes, int(unit.size()));
        rt.maxBudget = std::max(rt.maxBudget, encoder.lastFrame().budget);
        if (int(unit.size()) * 8 > encoder.lastFrame().budget + 7) ++rt.overBudget;
        totalBytes += unit.size();
        sentBits += std::int64_t(unit.size()) * 8;
        rt.maxOverdraft =
            std::max(rt.maxOverdraft, int(sentBits - std::int64_t(rt.units) * rt.budget));
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
    rt.decoderWarnings = warnings.seen();
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

// Averaged power spectrum (Hann, 4096 points, 2048 hop) from sample `from` on.
inline std::vector<double> powerSpectrum(const std::vector<float>& v, std::size_t from) {
    constexpr int n = 4096;
    std::vector<double> power(n / 2 + 1, 0.0);
    kiss_fftr_cfg cfg = kiss_fftr_alloc(n, 0, nullptr, nullptr);
    std::vector<float> in(n);
    std::vector<kiss_fft_cpx> out(n / 2 + 1);
    for (std::size_t start = from; start + n <= v.size(); start += n / 2) {
        for (int i = 0; i < n; ++i)
            in[i] = float(v[start + i] * (0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / n)));
        kiss_fftr(cfg, in.data(), out.data());
        for (int k = 0; k <= n / 2; ++k)
            power[k] += double(out[k].r) * out[k].r + double(out[k].i) * out[k].i;
    }
    kiss_fftr_free(cfg);
    return power;
}

// Highest frequency at which the decoded signal keeps at least a tenth of the reference's
// power, among frequencies where the reference has any (within 90 dB of its peak).
inline double bandwidthHz(const std::vector<float>& reference, const std::vector<float>& decoded,
                          std::size_t from) {
    const auto ref = powerSpectrum(reference, from);
    const auto dec = powerSpectrum(decoded, from);
    const double peak = *std::max_element(ref.begin(), ref.end());
    for (std::size_t k = ref.size() - 1; k > 0; --k)
        if (ref[k] > peak * 1e-9 && dec[k] >= 0.1 * ref[k]) return k * 48000.0 / 4096.0;
    return 0.0;
}

}  // namespace vl::aac::test
