#include "aac/TemporalNoiseShaping.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vl::aac {
namespace {

constexpr double kMinPredictionGain = 1.4;  // 1.5 dB

// 4-bit reflection coefficient index (two's complement) to its value.
double dequantize(int index) {
    const double scale = index >= 0 ? 7.5 : 8.5;
    return std::sin(index * (std::numbers::pi / 2.0) / scale);
}

int quantize(double k) {
    const double a = std::asin(std::clamp(k, -1.0, 1.0));
    const double scale = a >= 0 ? 7.5 : 8.5;
    return std::clamp(int(std::lround(a * scale / (std::numbers::pi / 2.0))), -8, 7);
}

// Reflection coefficients to direct-form predictor a (A(z) = 1 + sum a[i] z^-(i+1)).
int toPredictor(const TnsFilter& tns, double* a) {
    for (int i = 0; i < tns.order; ++i) {
        const int raw = tns.index[i];
        const double r = dequantize(raw >= 8 ? raw - 16 : raw);
        a[i] = r;
        for (int j = 0; j < (i + 1) / 2; ++j) {
            const double f = a[j], b = a[i - 1 - j];
            a[j] = f + r * b;
            a[i - 1 - j] = b + r * f;
        }
    }
    return tns.order;
}

}  // namespace

bool applyTemporalNoiseShaping(float* spectrum, int bandLimit, TnsFilter& tns) {
    tns = TnsFilter{};
    const int stopBand = std::min(kTnsMaxBands, bandLimit);
    if (stopBand <= kTnsStartBand + 2) return false;
    const int start = kSwbOffset480[kTnsStartBand], end = kSwbOffset480[stopBand];

    double r[kTnsOrder + 1] = {};
    for (int lag = 0; lag <= kTnsOrder; ++lag)
        for (int k = start + lag; k < end; ++k) r[lag] += double(spectrum[k]) * spectrum[k - lag];
    if (r[0] <= 1e-12) return false;

    // Levinson-Durbin for the reflection coefficients.
    double a[kTnsOrder] = {}, reflection[kTnsOrder] = {};
    double error = r[0];
    for (int i = 0; i < kTnsOrder; ++i) {
        double acc = r[i + 1];
        for (int j = 0; j < i; ++j) acc += a[j] * r[i - j];
        const double k = -acc / error;
        reflection[i] = k;
        double next[kTnsOrder];
        for (int j = 0; j < i; ++j) next[j] = a[j] + k * a[i - 1 - j];
        next[i] = k;
        std::copy(next, next + i + 1, a);
        error *= 1.0 - k * k;
        if (error <= 0.0) return false;
    }
    if (r[0] / error < kMinPredictionGain) return false;

    int order = kTnsOrder;
    for (int i = 0; i < kTnsOrder; ++i) tns.index[i] = quantize(reflection[i]) & 15;
    while (order > 0 && tns.index[order - 1] == 0) --order;
    if (order == 0) return false;
    tns.present = true;
    tns.startBand = kTnsStartBand;
    tns.stopBand = stopBand;
    tns.order = order;

    double lpc[kMaxTnsOrder] = {};
    toPredictor(tns, lpc);
    // Moving-average filter upward from the first line, no history before it.
    float original[kFrameLength];
    std::copy(spectrum + start, spectrum + end, original);
    for (int m = 0; m < end - start; ++m) {
        double v = original[m];
        for (int i = 1; i <= std::min(m, order); ++i) v += lpc[i - 1] * original[m - i];
        spectrum[start + m] = float(v);
    }
    return true;
}

void undoTemporalNoiseShaping(float* spectrum, int maxSfb, const TnsFilter& tns) {
    if (!tns.present || tns.order == 0) return;
    const int top = std::min({kTnsMaxBands, maxSfb, kNumSwb});
    const int start = kSwbOffset480[std::min(tns.startBand, top)], end = kSwbOffset480[top];
    double lpc[kMaxTnsOrder] = {};
    toPredictor(tns, lpc);
    for (int m = 0; m < end - start; ++m) {
        double v = spectrum[start + m];
        for (int i = 1; i <= std::min(m, tns.order); ++i) v -= lpc[i - 1] * spectrum[start + m - i];
        spectrum[start + m] = float(v);
    }
}

}  // namespace vl::aac
