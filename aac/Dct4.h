// aac: length-480 DCT-IV through a 240-point complex FFT (kissfft).
#pragma once

#include <vector>

struct kiss_fft_state;

namespace vl::aac {

class Dct4 {
  public:
    explicit Dct4(int length);
    ~Dct4();
    Dct4(const Dct4&) = delete;
    Dct4& operator=(const Dct4&) = delete;

    // out[k] = sum_n in[n] cos(pi/N (n + 1/2)(k + 1/2)); in and out may not alias.
    void transform(const float* in, float* out);
    int length() const { return n_; }

  private:
    struct Cpx {
        float r, i;
    };
    int n_;
    kiss_fft_state* cfg_ = nullptr;
    std::vector<Cpx> twiddle_;  // exp(-i pi (m + 1/8) / N), shared by the pre- and post-rotation
    std::vector<Cpx> work_, spectrum_;
};

}  // namespace vl::aac
