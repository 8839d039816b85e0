// aac: per-channel masking model — band energies, spreading across bands, tonality-dependent
// masking offset, threshold in quiet, pre-echo limit and perceptual entropy.
#pragma once

#include <array>

#include "aac/Tables.h"

namespace vl::aac {

struct MaskingResult {
    std::array<float, kNumSwb> energy{};
    std::array<float, kNumSwb> threshold{};  // largest inaudible noise energy per band
    float perceptualEntropy = 0.0f;          // bits a transparent coding would need
};

class PsychoacousticModel {
  public:
    PsychoacousticModel() { reset(); }
    void reset();
    void analyze(const float* spectrum, MaskingResult& out);

    // Spectral energy of a full-scale sine, the reference of the threshold in quiet.
    static float fullScaleSineEnergy();
    static const std::array<float, kNumSwb>& quietThresholds();

  private:
    std::array<float, kNumSwb> previousThreshold_{};
};

}  // namespace vl::aac
