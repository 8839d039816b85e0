#include "aac/PsychoacousticModel.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "aac/LowDelayAnalysis.h"

namespace vl::aac {
namespace {

constexpr double kLineHz = 24000.0 / kFrameLength;
constexpr float kTinyEnergy = 1e-20f;
constexpr double kFullScaleSpl = 96.0;  // a full-scale sine is taken to play at 96 dB SPL

double bark(double hz) {
    return 13.0 * std::atan(0.00076 * hz) + 3.5 * std::atan((hz / 7500.0) * (hz / 7500.0));
}

// Threshold in quiet in dB SPL, capped so that loud playback keeps the highest bands.
double quietThresholdDb(double hz) {
    const double k = std::max(hz, 20.0) / 1000.0;
    const double db = 3.64 * std::pow(k, -0.8) - 6.5 * std::exp(-0.6 * (k - 3.3) * (k - 3.3)) +
                      1e-3 * k * k * k * k;
    return std::min(db, 30.0);
}

struct ModelTables {
    float spreading[kNumSwb][kNumSwb];  // [masker][maskee], energy gain
    std::array<float, kNumSwb> quiet;   // threshold in quiet per band, spectral energy units
    float width[kNumSwb];
};

const ModelTables& tables() {
    static const ModelTables t = [] {
        ModelTables m{};
        double z[kNumSwb];
        for (int b = 0; b < kNumSwb; ++b) {
            z[b] = bark(0.5 * (kSwbOffset480[b] + kSwbOffset480[b + 1]) * kLineHz);
            m.width[b] = float(kSwbOffset480[b + 1] - kSwbOffset480[b]);
        }
        for (int i = 0; i < kNumSwb; ++i)
            for (int j = 0; j < kNumSwb; ++j) {
                const double dz = z[j] - z[i];
                // Masking reaches further up in frequency than down.
                const double db = dz >= 0 ? -15.0 * dz : 30.0 * dz;
                m.spreading[i][j] = float(std::pow(10.0, db / 10.0));
            }
        const double reference = PsychoacousticModel::fullScaleSineEnergy();
        for (int b = 0; b < kNumSwb; ++b) {
            double lowest = 1e9;
            for (int k = kSwbOffset480[b]; k < kSwbOffset480[b + 1]; ++k)
                lowest = std::min(lowest, quietThresholdDb((k + 0.5) * kLineHz));
            m.quiet[b] = float(reference * std::pow(10.0, (lowest - kFullScaleSpl) / 10.0));
        }
        return m;
    }();
    return t;
}

}  // namespace

float PsychoacousticModel::fullScaleSineEnergy() {
    static const float energy = [] {
        // Measured once through the analysis itself, so the model follows its scaling.
        LowDelayAnalysis analysis;
        std::vector<float> in(kFrameLength), spectrum(kFrameLength);
        double total = 0.0;
        const int frames = 8;
        for (int f = 0; f < frames; ++f) {
            for (int i = 0; i < kFrameLength; ++i)
                in[i] = float(
                    std::sin(2.0 * 3.14159265358979 * 1000.0 * (f * kFrameLength + i) / 48000.0));
            analysis.analyze(in.data(), 1, spectrum.data());
            if (f >= 4)
                for (float v : spectrum) total += double(v) * v;
        }
        return float(total / (frames - 4));
    }();
    return energy;
}

const std::array<float, kNumSwb>& PsychoacousticModel::quietThresholds() {
    return tables().quiet;
}

void PsychoacousticModel::reset() {
    previousThreshold_.fill(0.0f);
}

void PsychoacousticModel::analyze(const float* spectrum, MaskingResult& out) {
    const ModelTables& t = tables();
    float tonality[kNumSwb];
    for (int b = 0; b < kNumSwb; ++b) {
        double sum = 0.0, logSum = 0.0;
        const int start = kSwbOffset480[b], end = kSwbOffset480[b + 1];
        for (int k = start; k < end; ++k) {
            const double e = double(spectrum[k]) * spectrum[k];
            sum += e;
            logSum += std::log(e + kTinyEnergy);
        }
        out.energy[b] = float(sum);
        const int n = end - start;
        // Spectral flatness: 0 dB for noise, strongly negative for a tone.
        const double mean = sum / n + kTinyEnergy;
        const double flatnessDb = 10.0 * (logSum / n - std::log(mean)) / std::log(10.0);
        tonality[b] = float(std::clamp(flatnessDb / -25.0, 0.0, 1.0));
    }

    float pe = 0.0f;
    for (int j = 0; j < kNumSwb; ++j) {
        float spread = 0.0f;
        for (int i = 0; i < kNumSwb; ++i) spread += out.energy[i] * t.spreading[i][j];
        // A tone masks noise less well than noise does.
        const float offsetDb = 8.0f + 16.0f * tonality[j];
        float threshold = spread * std::pow(10.0f, -offsetDb / 10.0f);
        // Limit the rise against the previous frame so a transient keeps its pre-echo small.
        if (previousThreshold_[j] > 0.0f)
            threshold = std::min(threshold, 4.0f * previousThreshold_[j]);
        threshold = std::max(threshold, t.quiet[j]);
        previousThreshold_[j] = threshold;
        out.threshold[j] = threshold;
        if (out.energy[j] > threshold) pe += t.width[j] * std::log2(out.energy[j] / threshold);
    }
    out.perceptualEntropy = pe;
}

}  // namespace vl::aac
