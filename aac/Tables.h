// aac: numeric tables of the low-delay coder (window, band offsets, Huffman codebooks).
#pragma once

#include <cstdint>

namespace vl::aac {

inline constexpr int kFrameLength = 480;
inline constexpr int kEldWindowLength = 1800;
inline constexpr int kNumSwb = 35;  // scalefactor bands of a 480 frame at 48 kHz

extern const float kEldWindow480[kEldWindowLength];
extern const uint16_t kSwbOffset480[kNumSwb + 1];

// One spectral Huffman codebook: `dimension` values per codeword, each in [-lav, lav]
// (or [0, lav] with separate sign bits when `isUnsigned`); book 11 escapes values >= 16.
struct SpectralCodebook {
    const uint16_t* codes;
    const uint8_t* bits;
    int size;
    int dimension;
    bool isUnsigned;
    int lav;
};

// Index 0 is codebook 1.
extern const SpectralCodebook kSpectralCodebooks[11];

// Scalefactor differences -60..60 at index difference + 60.
extern const uint32_t kScalefactorCodes[121];
extern const uint8_t kScalefactorBits[121];

}  // namespace vl::aac
