// aac: quantisation, section trellis, scalefactor chain and bit-exact writing of one channel's
// individual channel stream (long window, no pulse or gain control, as the low-delay syntax has).
#pragma once

#include <array>
#include <cstdint>

#include "aac/BitWriter.h"
#include "aac/Tables.h"

namespace vl::aac {

inline constexpr int kMaxTnsOrder = 12;

struct TnsFilter {
    bool present = false;
    int startBand = 0;  // the filter covers bands [startBand, stopBand)
    int stopBand = 0;
    int order = 0;
    std::array<int, kMaxTnsOrder> index{};  // 4-bit quantised reflection coefficients
};

// One channel of one frame, from analysed spectrum to written bits.
struct ChannelFrame {
    static constexpr int kSilentBand = -1;  // baseSf value of a band that is never coded

    std::array<float, kFrameLength> spectrum{};  // what is coded (mid/side already applied)
    std::array<float, kFrameLength> magPow{};    // |spectrum|^(3/4)
    std::array<int, kNumSwb> baseSf{};  // scalefactor whose noise meets the masking threshold
    std::array<int, kNumSwb> minSf{};   // smallest scalefactor keeping |q| within the escape range
    int bandLimit = kNumSwb;            // bands at and above are not coded

    std::array<int, kNumSwb> sf{};
    std::array<uint8_t, kNumSwb> codebook{};
    std::array<int16_t, kFrameLength> q{};
    std::array<bool, kNumSwb> zero{};
    TnsFilter tns;

    // Fills sf, q and zero for a frame-wide scalefactor offset (larger = coarser).
    void quantize(int offset);
    // Highest coded band + 1.
    int usedBands() const;
    // Chooses codebooks for bands < maxSfb and returns the exact bit count of the stream
    // (global_gain, max_sfb when `ownMaxSfb`, sections, scalefactors, TNS, spectral data).
    int plan(int maxSfb, bool ownMaxSfb);
    // Writes what plan() chose.
    void write(BitWriter& out, int maxSfb, bool ownMaxSfb) const;

  private:
    void quantizeBand(int band, int scalefactor);
    void enforceScalefactorRange(int maxSfb);
    int globalGain(int maxSfb) const;
};

}  // namespace vl::aac
