#include "aac/Dct4.h"

#include <cmath>
#include <numbers>
#include <stdexcept>

#include <kissfft/kiss_fft.h>

namespace vl::aac {

Dct4::Dct4(int length) : n_(length) {
    if (length <= 0 || length % 2 != 0) throw std::invalid_argument("Dct4: length must be even");
    const int half = n_ / 2;
    cfg_ = kiss_fft_alloc(half, 0, nullptr, nullptr);
    if (!cfg_) throw std::bad_alloc();
    twiddle_.resize(half);
    for (int m = 0; m < half; ++m) {
        const double phi = -std::numbers::pi * (m + 0.125) / n_;
        twiddle_[m] = {float(std::cos(phi)), float(std::sin(phi))};
    }
    work_.resize(half);
    spectrum_.resize(half);
}

Dct4::~Dct4() {
    kiss_fft_free(cfg_);
}

// Even outputs and reversed odd outputs are the real and negated imaginary parts of a rotated
// half-length FFT of z[m] = in[2m] + i in[N-1-2m].
void Dct4::transform(const float* in, float* out) {
    const int half = n_ / 2;
    for (int m = 0; m < half; ++m) {
        const float re = in[2 * m];
        const float im = in[n_ - 1 - 2 * m];
        const Cpx t = twiddle_[m];
        work_[m] = {re * t.r - im * t.i, re * t.i + im * t.r};
    }
    kiss_fft(cfg_, reinterpret_cast<const kiss_fft_cpx*>(work_.data()),
             reinterpret_cast<kiss_fft_cpx*>(spectrum_.data()));
    for (int p = 0; p < half; ++p) {
        const Cpx z = spectrum_[p];
        const Cpx t = twiddle_[p];
        out[2 * p] = z.r * t.r - z.i * t.i;
        out[n_ - 1 - 2 * p] = -(z.r * t.i + z.i * t.r);
    }
}

}  // namespace vl::aac
