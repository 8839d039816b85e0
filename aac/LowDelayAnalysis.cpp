#include "aac/LowDelayAnalysis.h"

#include <cmath>
#include <vector>

namespace vl::aac {
namespace {

constexpr int N = kFrameLength;
constexpr int kPairs = N / 2;

// The synthesis window combines folded lines p and N-1-p of the last four frames into two output
// samples. Per pair that is a 2x2 matrix polynomial in the frame delay whose determinant is a
// single term (the window's perfect-reconstruction property), so its adjugate divided by that
// term is the exact causal analysis for the pair: a = line p, b = line N-1-p, taken from the two
// input samples s1 and s2 the pair reconstructs, over delays 0..3.
struct PairFilter {
    float a[2][4];  // [input s1/s2][delay]
    float b[2][4];
    int p;       // line index of a (b is line N-1-p)
    int s1, s2;  // sample indices within a frame
};

std::vector<PairFilter> buildPairFilters() {
    const float* w = kEldWindow480;
    std::vector<PairFilter> filters(kPairs);
    for (int p = 0; p < kPairs; ++p) {
        PairFilter& f = filters[p];
        f = PairFilter{};
        f.p = p;
        // First output (sample 120 + p): a0 A0 + a2 A2 + b1 B1 + b3 B3.
        const double a0 = w[120 + p], a2 = -w[1080 + p], b1 = -w[600 + p], b3 = w[1560 + p];
        f.s2 = 359 - p;
        if (p < 120) {
            // Second output (sample 119 - p): a0 C0 + a2 C2 + b1 D1 + b3 D3; both outputs
            // reconstruct the previous frame, hence the delay of one frame in the inverse.
            const double c0 = w[119 - p], c2 = -w[1079 - p], d1 = w[599 - p], d3 = -w[1559 - p];
            const double det = a0 * d1 - b1 * c0;
            f.s1 = 360 + p;
            f.a[0][1] = float(d1 / det);
            f.a[0][3] = float(d3 / det);
            f.a[1][1] = float(-b1 / det);
            f.a[1][3] = float(-b3 / det);
            f.b[0][0] = float(-c0 / det);
            f.b[0][2] = float(-c2 / det);
            f.b[1][0] = float(a0 / det);
            f.b[1][2] = float(a2 / det);
        } else {
            // Second output (sample 599 - p): b0 D0 + b2 D2 + a1 C1; both outputs lie in the
            // current frame.
            const double c1 = -w[1079 - p], d0 = w[599 - p], d2 = -w[1559 - p];
            const double det = a0 * d0;
            f.s1 = p - 120;
            f.a[0][0] = float(d0 / det);
            f.a[0][2] = float(d2 / det);
            f.a[1][1] = float(-b1 / det);
            f.a[1][3] = float(-b3 / det);
            f.b[0][1] = float(-c1 / det);
            f.b[1][0] = float(a0 / det);
            f.b[1][2] = float(a2 / det);
        }
    }
    return filters;
}

const std::vector<PairFilter>& pairFilters() {
    static const std::vector<PairFilter> filters = buildPairFilters();
    return filters;
}

// Spectral lines in the decoder's dequantised units for a full-scale input of 1.0.
// Inverse of the decoder's transform scale: 2/N of the DCT-IV over 1/(16 * 1024 * 960).
constexpr float kAnalysisGain = 65536.0f;

}  // namespace

LowDelayAnalysis::LowDelayAnalysis() {
    reset();
}

void LowDelayAnalysis::reset() {
    for (auto& f : frames_) f.fill(0.0f);
    newest_ = 0;
}

void LowDelayAnalysis::analyze(const float* in, std::size_t stride, float* spectrum) {
    newest_ = (newest_ + 1) % kHistory;
    auto& current = frames_[newest_];
    for (int i = 0; i < N; ++i) current[i] = in[i * stride];
    const float* frame[kHistory];
    for (int d = 0; d < kHistory; ++d)
        frame[d] = frames_[(newest_ - d + kHistory) % kHistory].data();

    for (const PairFilter& f : pairFilters()) {
        float a = 0.0f, b = 0.0f;
        for (int d = 0; d < kHistory; ++d) {
            const float s1 = frame[d][f.s1], s2 = frame[d][f.s2];
            a += f.a[0][d] * s1 + f.a[1][d] * s2;
            b += f.b[0][d] * s1 + f.b[1][d] * s2;
        }
        folded_[f.p] = a;
        folded_[N - 1 - f.p] = b;
    }

    // The decoder maps lines to the folded buffer through an odd-symmetric DCT-IV with
    // alternating signs and reversal; undo it.
    for (int j = 0; j < N; ++j) rotated_[j] = (j & 1) ? -folded_[N - 1 - j] : folded_[N - 1 - j];
    dct_.transform(rotated_.data(), folded_.data());
    for (int i = 0; i < N; ++i) {
        const float v = folded_[N - 1 - i] * kAnalysisGain;
        spectrum[i] = (i & 1) ? v : -v;
    }
}

}  // namespace vl::aac
