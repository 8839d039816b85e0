#include "aac/SpectrumCoder.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace vl::aac {
namespace {

constexpr int kMaxQuant = 8191;  // largest magnitude the escape code carries
constexpr int kEscapeBook = 11;
constexpr int kSfOffset = 60;  // scalefactor codebook index of a zero difference
constexpr int kMaxSfDelta = 60;
constexpr int kSectionBits = 5;  // long-window section length field
constexpr int kSectionEscape = (1 << kSectionBits) - 1;
constexpr int kInfinity = INT_MAX / 4;

// 2^(-3/16 (sf - 100)): multiplies |x|^(3/4) into quantiser steps.
struct StepTable {
    float inverse[256];
    StepTable() {
        for (int sf = 0; sf < 256; ++sf) inverse[sf] = float(std::exp2(-0.1875 * (sf - 100)));
    }
};
const StepTable& steps() {
    static const StepTable table;
    return table;
}

int bandStart(int band) {
    return kSwbOffset480[band];
}
int bandEnd(int band) {
    return kSwbOffset480[band + 1];
}

int escapeBits(int magnitude) {
    if (magnitude < 16) return 0;
    int n = 4;
    while ((magnitude >> (n + 1)) != 0) ++n;
    return 2 * n - 3;  // (n - 4) ones, a zero, then n bits
}

// Codeword index of `dimension` values for a book; magnitudes above 15 count as the escape 16.
inline int codewordIndex(const SpectralCodebook& book, const int16_t* v) {
    if (book.dimension == 4) {
        if (book.isUnsigned)
            return std::abs(v[0]) * 27 + std::abs(v[1]) * 9 + std::abs(v[2]) * 3 + std::abs(v[3]);
        return (v[0] + 1) * 27 + (v[1] + 1) * 9 + (v[2] + 1) * 3 + (v[3] + 1);
    }
    if (!book.isUnsigned) return (v[0] + 4) * 9 + (v[1] + 4);
    const int mod = book.lav + 1;
    return std::min(std::abs(v[0]), 16) * mod + std::min(std::abs(v[1]), 16);
}

// Bits of a band in two books that share their codeword indices (1-2, 3-4, 5-6, 7-8, 9-10: the
// same dimension, signedness and largest value; only the code lengths differ), counted in one
// pass; book 11 has no partner and is counted alone. Sign bits and escapes cost the same in both.
std::pair<int, int> bandBitsOfPair(int bookNumber, const int16_t* q, int width) {
    const SpectralCodebook& book = kSpectralCodebooks[bookNumber - 1];
    const uint8_t* partner =
        bookNumber < kEscapeBook ? kSpectralCodebooks[bookNumber].bits : book.bits;
    const bool escape = bookNumber == kEscapeBook;
    int bits = 0, partnerBits = 0, shared = 0;
    for (int k = 0; k < width; k += book.dimension) {
        const int index = codewordIndex(book, q + k);
        bits += book.bits[index];
        partnerBits += partner[index];
        if (!book.isUnsigned) continue;
        for (int d = 0; d < book.dimension; ++d) {
            const int m = std::abs(q[k + d]);
            shared += m != 0;
            if (escape) shared += escapeBits(m);
        }
    }
    return {bits + shared, partnerBits + shared};
}

// The books worth trying for a band whose largest magnitude is `maxAbs`.
struct BookRange {
    int first, last;
};
BookRange candidateBooks(int maxAbs) {
    if (maxAbs <= 1) return {1, 4};
    if (maxAbs <= 2) return {3, 6};
    if (maxAbs <= 4) return {5, 8};
    if (maxAbs <= 7) return {7, 10};
    if (maxAbs <= 12) return {9, 11};
    return {11, 11};
}

int tnsBits(const TnsFilter& tns) {
    if (!tns.present) return 1;
    return 1 + 2 + 1 + 6 + 5 + (tns.order > 0 ? 2 + 4 * tns.order : 0);
}

void writeTns(BitWriter& out, const TnsFilter& tns) {
    out.put(tns.present ? 1 : 0, 1);
    if (!tns.present) return;
    out.put(1, 2);  // one filter
    out.put(1, 1);  // 4-bit coefficients
    out.put(uint32_t(kNumSwb - tns.startBand), 6);
    out.put(uint32_t(tns.order), 5);
    if (tns.order == 0) return;
    out.put(0, 1);  // upward
    out.put(0, 1);  // uncompressed
    for (int i = 0; i < tns.order; ++i) out.put(uint32_t(tns.index[i]) & 15u, 4);
}

void writeEscape(BitWriter& out, int magnitude) {
    int n = 4;
    while ((magnitude >> (n + 1)) != 0) ++n;
    for (int i = 4; i < n; ++i) out.put(1, 1);
    out.put(0, 1);
    out.put(uint32_t(magnitude - (1 << n)), n);
}

}  // namespace

void ChannelFrame::quantizeBand(int band, int scalefactor) {
    const float inv = steps().inverse[scalefactor];
    bool any = false;
    for (int k = bandStart(band); k < bandEnd(band); ++k) {
        int v = int(magPow[k] * inv + 0.4054f);
        if (v > kMaxQuant) v = kMaxQuant;
        any |= v != 0;
        q[k] = int16_t(spectrum[k] < 0.0f ? -v : v);
    }
    sf[band] = scalefactor;
    zero[band] = !any;
}

void ChannelFrame::quantize(int offset) {
    for (int b = 0; b < kNumSwb; ++b) {
        if (b >= bandLimit || baseSf[b] == kSilentBand) {
            std::fill(q.begin() + bandStart(b), q.begin() + bandEnd(b), int16_t(0));
            zero[b] = true;
            sf[b] = 0;
            continue;
        }
        quantizeBand(b, std::clamp(std::max(baseSf[b] + offset, minSf[b]), 0, 255));
    }
}

int ChannelFrame::usedBands() const {
    for (int b = kNumSwb; b > 0; --b)
        if (!zero[b - 1]) return b;
    return 0;
}

// Consecutive coded scalefactors may differ by at most 60; pull outliers towards the previous.
void ChannelFrame::enforceScalefactorRange(int maxSfb) {
    int previous = -1;
    for (int b = 0; b < maxSfb; ++b) {
        if (zero[b]) continue;
        if (previous >= 0) {
            if (sf[b] < previous - kMaxSfDelta)
                quantizeBand(b, previous - kMaxSfDelta);
            else if (sf[b] > previous + kMaxSfDelta)
                quantizeBand(b, previous + kMaxSfDelta);
            if (zero[b]) continue;
        }
        previous = sf[b];
    }
}

int ChannelFrame::globalGain(int maxSfb) const {
    for (int b = 0; b < maxSfb; ++b)
        if (!zero[b]) return sf[b];
    return 100;
}

int ChannelFrame::plan(int maxSfb, bool ownMaxSfb) {
    enforceScalefactorRange(maxSfb);

    // Trellis over bands: the state is the codebook of the open section; opening a section
    // costs its 4-bit book and 5-bit length.
    int cost[kNumSwb][12];
    int8_t from[kNumSwb][12];
    int best[12], next[12];
    for (int b = 0; b < maxSfb; ++b) {
        for (int cb = 0; cb < 12; ++cb) cost[b][cb] = kInfinity;
        const int width = bandEnd(b) - bandStart(b);
        if (zero[b]) {
            cost[b][0] = 0;
        } else {
            int maxAbs = 0;
            for (int k = bandStart(b); k < bandEnd(b); ++k)
                maxAbs = std::max(maxAbs, std::abs(int(q[k])));
            const BookRange range = candidateBooks(maxAbs);
            for (int cb = range.first; cb <= range.last; cb += 2) {
                const auto [bits, partnerBits] = bandBitsOfPair(cb, q.data() + bandStart(b), width);
                cost[b][cb] = bits;
                if (cb + 1 <= range.last) cost[b][cb + 1] = partnerBits;
            }
        }
        int prevBest = kInfinity, prevArg = 0;
        if (b > 0) {
            for (int cb = 0; cb < 12; ++cb)
                if (best[cb] < prevBest) prevBest = best[cb], prevArg = cb;
        }
        for (int cb = 0; cb < 12; ++cb) {
            if (cost[b][cb] >= kInfinity) {
                next[cb] = kInfinity;
                continue;
            }
            const int open = (b == 0 ? 0 : prevBest) + 4 + kSectionBits;
            const int stay = b == 0 ? kInfinity : best[cb];
            if (stay <= open) {
                next[cb] = stay + cost[b][cb];
                from[b][cb] = int8_t(cb);
            } else {
                next[cb] = open + cost[b][cb];
                from[b][cb] = int8_t(b == 0 ? cb : prevArg);
            }
        }
        std::copy(next, next + 12, best);
    }
    if (maxSfb > 0) {
        int cb = int(std::min_element(best, best + 12) - best);
        for (int b = maxSfb - 1; b >= 0; --b) {
            codebook[b] = uint8_t(cb);
            cb = from[b][cb];
        }
    }

    int bits = 8 + (ownMaxSfb ? 6 : 0) + tnsBits(tns);
    for (int b = 0; b < maxSfb;) {
        int end = b;
        while (end < maxSfb && codebook[end] == codebook[b]) ++end;
        bits += 4 + kSectionBits * ((end - b) / kSectionEscape + 1);
        if (codebook[b] != 0)
            for (int k = b; k < end; ++k) bits += cost[k][codebook[k]];
        b = end;
    }
    int last = globalGain(maxSfb);
    for (int b = 0; b < maxSfb; ++b) {
        if (codebook[b] == 0) continue;
        bits += kScalefactorBits[sf[b] - last + kSfOffset];
        last = sf[b];
    }
    return bits;
}

void ChannelFrame::write(BitWriter& out, int maxSfb, bool ownMaxSfb) const {
    const int gain = globalGain(maxSfb);
    out.put(uint32_t(gain), 8);
    if (ownMaxSfb) out.put(uint32_t(maxSfb), 6);

    for (int b = 0; b < maxSfb;) {
        int end = b;
        while (end < maxSfb && codebook[end] == codebook[b]) ++end;
        out.put(codebook[b], 4);
        int length = end - b;
        while (length >= kSectionEscape) {
            out.put(kSectionEscape, kSectionBits);
            length -= kSectionEscape;
        }
        out.put(uint32_t(length), kSectionBits);
        b = end;
    }

    int last = gain;
    for (int b = 0; b < maxSfb; ++b) {
        if (codebook[b] == 0) continue;
        const int index = sf[b] - last + kSfOffset;
        out.put(kScalefactorCodes[index], kScalefactorBits[index]);
        last = sf[b];
    }

    writeTns(out, tns);

    for (int b = 0; b < maxSfb; ++b) {
        const int bookNumber = codebook[b];
        if (bookNumber == 0) continue;
        const SpectralCodebook& book = kSpectralCodebooks[bookNumber - 1];
        for (int k = bandStart(b); k < bandEnd(b); k += book.dimension) {
            const int16_t* v = q.data() + k;
            const int index = codewordIndex(book, v);
            out.put(book.codes[index], book.bits[index]);
            if (!book.isUnsigned) continue;
            for (int d = 0; d < book.dimension; ++d)
                if (v[d] != 0) out.put(v[d] < 0 ? 1 : 0, 1);
            if (bookNumber == kEscapeBook)
                for (int d = 0; d < book.dimension; ++d)
                    if (std::abs(int(v[d])) >= 16) writeEscape(out, std::abs(int(v[d])));
        }
    }
}

}  // namespace vl::aac
