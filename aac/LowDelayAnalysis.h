// aac: the low-delay analysis filterbank — 480 input samples in, 480 spectral lines out, such
// that the standard low-delay synthesis returns the input 240 samples later.
#pragma once

#include <array>
#include <cstddef>

#include "aac/Dct4.h"
#include "aac/Tables.h"

namespace vl::aac {

class LowDelayAnalysis {
  public:
    LowDelayAnalysis();

    void reset();
    // Reads in[i * stride] for i < 480 and writes 480 coefficients.
    void analyze(const float* in, std::size_t stride, float* spectrum);

  private:
    static constexpr int kHistory = 4;  // the synthesis overlaps four frames
    std::array<std::array<float, kFrameLength>, kHistory> frames_{};
    int newest_ = 0;
    Dct4 dct_{kFrameLength};
    std::array<float, kFrameLength> folded_{}, rotated_{};
};

}  // namespace vl::aac
