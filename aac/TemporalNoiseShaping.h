// aac: temporal noise shaping — an upward prediction filter across the spectrum of a frame with
// a strong temporal envelope (clicks, attacks), so the decoder shapes the quantisation noise
// like the signal in time. The low-delay coder has no short blocks; this takes their place.
#pragma once

#include "aac/SpectrumCoder.h"

namespace vl::aac {

inline constexpr int kTnsMaxBands = 31;  // at 48 kHz with 480-sample frames
inline constexpr int kTnsStartBand = 7;  // 1.4 kHz
inline constexpr int kTnsOrder = 8;

// Filters spectrum lines of bands [kTnsStartBand, min(kTnsMaxBands, bandLimit)) in place and
// fills `tns` when the prediction gain makes it worthwhile; returns whether it did.
bool applyTemporalNoiseShaping(float* spectrum, int bandLimit, TnsFilter& tns);

// The decoder's inverse, used by tests: all-pole filter over the same lines.
void undoTemporalNoiseShaping(float* spectrum, int maxSfb, const TnsFilter& tns);

}  // namespace vl::aac
