#include "aac/AacEldEncoder.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "aac/BitWriter.h"
#include "aac/LowDelayAnalysis.h"
#include "aac/PsychoacousticModel.h"
#include "aac/SpectrumCoder.h"
#include "aac/TemporalNoiseShaping.h"

namespace vl::aac {
namespace {

constexpr int kMaxBitsPerChannel = 6144;
constexpr int kMinOffset = -40;  // finest: noise 60 dB under the masking threshold
constexpr int kMaxOffset = 120;
constexpr int kLfeBands = 2;  // 0-400 Hz

enum class ElementType { single, pair, lfe };
struct ElementPlan {
    ElementType type;
    int channels[2];
};

std::vector<ElementPlan> elementsOf(EldChannelLayout layout) {
    using T = ElementType;
    switch (layout) {
        case EldChannelLayout::mono:
            return {{T::single, {0, -1}}};
        case EldChannelLayout::stereo:
            return {{T::pair, {0, 1}}};
        case EldChannelLayout::fivePointOne:
            return {{T::single, {2, -1}}, {T::pair, {0, 1}}, {T::pair, {4, 5}}, {T::lfe, {3, -1}}};
        case EldChannelLayout::sevenPointOne:
            return {{T::single, {2, -1}},
                    {T::pair, {0, 1}},
                    {T::pair, {4, 5}},
                    {T::pair, {6, 7}},
                    {T::lfe, {3, -1}}};
    }
    return {};
}

int bandLimitFor(int bitsPerChannelPerSecond) {
    if (bitsPerChannelPerSecond >= 56000) return 33;  // 20 kHz
    if (bitsPerChannelPerSecond >= 40000) return 31;  // 16.8 kHz
    if (bitsPerChannelPerSecond >= 28000) return 29;  // 13.6 kHz
    return 27;                                        // 10.6 kHz
}

// An attack inside the frame: a 60-sample block much louder than the two before it.
bool hasAttack(const float* frame, float& previousBlockEnergy, float& olderBlockEnergy) {
    constexpr int kBlock = 60;
    constexpr float kAttackRatio = 10.0f;
    constexpr float kFloor = 60 * 1e-7f;  // about -70 dBFS
    bool attack = false;
    for (int start = 0; start < 480; start += kBlock) {
        float e = 0.0f;
        for (int i = start; i < start + kBlock; ++i) e += frame[i] * frame[i];
        const float before = 0.5f * (previousBlockEnergy + olderBlockEnergy);
        if (e > kFloor && e > kAttackRatio * before) attack = true;
        olderBlockEnergy = previousBlockEnergy;
        previousBlockEnergy = e;
    }
    return attack;
}

float sanitize(float v) {
    if (std::isnan(v)) return 0.0f;
    return std::clamp(v, -1.0f, 1.0f);
}

}  // namespace

const char* description(EldChannelLayout layout) {
    switch (layout) {
        case EldChannelLayout::mono:
            return "mono";
        case EldChannelLayout::stereo:
            return "stereo";
        case EldChannelLayout::fivePointOne:
            return "5.1";
        case EldChannelLayout::sevenPointOne:
            return "7.1";
    }
    return "?";
}

int channelCount(EldChannelLayout layout) {
    switch (layout) {
        case EldChannelLayout::mono:
            return 1;
        case EldChannelLayout::stereo:
            return 2;
        case EldChannelLayout::fivePointOne:
            return 6;
        case EldChannelLayout::sevenPointOne:
            return 8;
    }
    return 0;
}

int channelConfiguration(EldChannelLayout layout) {
    switch (layout) {
        case EldChannelLayout::mono:
            return 1;
        case EldChannelLayout::stereo:
            return 2;
        case EldChannelLayout::fivePointOne:
            return 6;
        case EldChannelLayout::sevenPointOne:
            return 12;
    }
    return 0;
}

int defaultBitRate(EldChannelLayout layout) {
    const bool hasLfe =
        layout == EldChannelLayout::fivePointOne || layout == EldChannelLayout::sevenPointOne;
    return 72000 * (channelCount(layout) - (hasLfe ? 1 : 0));
}

std::vector<uint8_t> audioSpecificConfig(EldChannelLayout layout) {
    BitWriter w;
    w.put(31, 5);       // object type escape
    w.put(39 - 32, 6);  // ER AAC ELD
    w.put(3, 4);        // 48000 Hz
    w.put(uint32_t(channelConfiguration(layout)), 4);
    w.put(1, 1);  // frameLengthFlag: 480
    w.put(0, 3);  // section, scalefactor and spectral data resilience off
    w.put(0, 1);  // no low-delay SBR
    w.put(0, 4);  // ELDEXT_TERM
    w.put(0, 2);  // epConfig
    return w.finish();
}

struct AacEldEncoder::State {
    struct Channel {
        LowDelayAnalysis analysis;
        PsychoacousticModel model;
        MaskingResult masking;
        ChannelFrame frame;
        std::array<float, kFrameLength> input{};
        float blockEnergy[2] = {};
        bool lfe = false;
    };
    struct Element {
        ElementPlan plan;
        std::array<bool, kNumSwb> midSide{};
        int maxSfb = 0;
    };
    std::vector<Channel> channels;
    std::vector<Element> elements;
    int configuredBandLimit = kNumSwb;
    int bandLimit = kNumSwb;  // this frame's, lowered when even the coarsest offset overflows

    void prepareChannel(Channel& ch, const std::array<float, kNumSwb>& threshold);
    void decideMidSide(Element& e);
    int frameBits(int offset);
    void write(BitWriter& out);
};

AacEldEncoder::AacEldEncoder(EldChannelLayout layout, int bitRate)
    : layout_(layout), state_(std::make_unique<State>()) {
    const int channels = aac::channelCount(layout);
    if (bitRate <= 0) bitRate = defaultBitRate(layout);
    // Per channel first: 6144 bits x 8 channels x 48000 overflows an int.
    const int maxRate = kMaxBitsPerChannel * (kSampleRate / kFrameLength) * channels;
    bitRate_ = std::clamp(bitRate, 8000 * channels, maxRate);

    state_->channels = std::vector<State::Channel>(std::size_t(channels));
    for (const ElementPlan& p : elementsOf(layout)) {
        state_->elements.push_back({p, {}, 0});
        if (p.type == ElementType::lfe) state_->channels[p.channels[0]].lfe = true;
    }
    const int lfeCount = state_->elements.back().plan.type == ElementType::lfe ? 1 : 0;
    state_->configuredBandLimit = bandLimitFor(bitRate_ / std::max(1, channels - lfeCount));
}

AacEldEncoder::~AacEldEncoder() = default;

void AacEldEncoder::reset() {
    for (State::Channel& ch : state_->channels) {
        ch.analysis.reset();
        ch.model.reset();
        ch.masking = MaskingResult{};
        ch.frame = ChannelFrame{};
        ch.input.fill(0.0f);
        ch.blockEnergy[0] = ch.blockEnergy[1] = 0.0f;
    }
    for (State::Element& e : state_->elements) {
        e.midSide.fill(false);
        e.maxSfb = 0;
    }
    state_->bandLimit = state_->configuredBandLimit;
    last_ = EncodedFrameInfo{};
    reservoir_ = 0;
    previousOffset_ = 0;
}

int AacEldEncoder::channelCount() const {
    return int(state_->channels.size());
}

// Scalefactors that put each band's quantisation noise at its threshold: with q = |x|^(3/4)
// on a step of 2^((sf-100)/4), the noise of a band is about (4/27) step^(3/2) sum sqrt|x|.
void AacEldEncoder::State::prepareChannel(Channel& ch,
                                          const std::array<float, kNumSwb>& threshold) {
    const auto& quietThreshold = PsychoacousticModel::quietThresholds();
    ChannelFrame& f = ch.frame;
    f.bandLimit = ch.lfe ? kLfeBands : bandLimit;
    for (int b = 0; b < kNumSwb; ++b) {
        const int start = kSwbOffset480[b], end = kSwbOffset480[b + 1];
        float sumRoot = 0.0f, peak = 0.0f, energy = 0.0f;
        for (int k = start; k < end; ++k) {
            const float a = std::fabs(f.spectrum[k]);
            const float root = std::sqrt(a);
            f.magPow[k] = root * std::sqrt(root);
            sumRoot += root;
            peak = std::max(peak, a);
            energy += a * a;
        }
        // Bands under the masking threshold stay codable: a finer offset may afford them.
        if (b >= f.bandLimit || energy <= quietThreshold[b] || peak == 0.0f) {
            f.baseSf[b] = ChannelFrame::kSilentBand;
            continue;
        }
        const double s = 100.0 + (8.0 / 3.0) * std::log2(27.0 * threshold[b] / (4.0 * sumRoot));
        f.baseSf[b] = int(std::floor(s));
        // |q| = (peak / step)^(3/4) must stay within 8191.
        const double minimum = 100.0 + 4.0 * std::log2(peak / std::pow(8191.0, 4.0 / 3.0));
        f.minSf[b] = int(std::ceil(minimum));
    }
}

// Per band, code mid (L+R)/2 and side (L-R)/2 when that needs fewer bits at the same audible
// noise; the noise then reaches both outputs, so each half gets half the stricter threshold.
void AacEldEncoder::State::decideMidSide(Element& e) {
    Channel& l = channels[e.plan.channels[0]];
    Channel& r = channels[e.plan.channels[1]];
    e.midSide.fill(false);
    for (int b = 0; b < bandLimit; ++b) {
        const int start = kSwbOffset480[b], end = kSwbOffset480[b + 1];
        float em = 0.0f, es = 0.0f;
        for (int k = start; k < end; ++k) {
            const float m = 0.5f * (l.frame.spectrum[k] + r.frame.spectrum[k]);
            const float s = 0.5f * (l.frame.spectrum[k] - r.frame.spectrum[k]);
            em += m * m;
            es += s * s;
        }
        const float tl = l.masking.threshold[b], tr = r.masking.threshold[b];
        const float tms = 0.5f * std::min(tl, tr);
        auto cost = [](float energy, float threshold) {
            return energy > threshold ? std::log2(energy / threshold) : 0.0f;
        };
        const float lr = cost(l.masking.energy[b], tl) + cost(r.masking.energy[b], tr);
        const float ms = cost(em, tms) + cost(es, tms);
        if (ms >= lr) continue;
        e.midSide[b] = true;
        for (int k = start; k < end; ++k) {
            const float lv = l.frame.spectrum[k], rv = r.frame.spectrum[k];
            l.frame.spectrum[k] = 0.5f * (lv + rv);
            r.frame.spectrum[k] = 0.5f * (lv - rv);
        }
        l.masking.threshold[b] = r.masking.threshold[b] = tms;
        l.masking.energy[b] = em;
        r.masking.energy[b] = es;
    }
}

int AacEldEncoder::State::frameBits(int offset) {
    int bits = 0;
    for (Channel& ch : channels) ch.frame.quantize(offset);
    for (Element& e : elements) {
        Channel& first = channels[e.plan.channels[0]];
        if (e.plan.type != ElementType::pair) {
            e.maxSfb = first.frame.usedBands();
            bits += first.frame.plan(e.maxSfb, true);
            continue;
        }
        Channel& second = channels[e.plan.channels[1]];
        e.maxSfb = std::max(first.frame.usedBands(), second.frame.usedBands());
        const bool anyMidSide =
            std::any_of(e.midSide.begin(), e.midSide.begin() + e.maxSfb, [](bool v) { return v; });
        bits += 6 + 2 + (anyMidSide ? e.maxSfb : 0);
        bits += first.frame.plan(e.maxSfb, false) + second.frame.plan(e.maxSfb, false);
    }
    return bits;
}

void AacEldEncoder::State::write(BitWriter& out) {
    for (Element& e : elements) {
        Channel& first = channels[e.plan.channels[0]];
        if (e.plan.type != ElementType::pair) {
            first.frame.write(out, e.maxSfb, true);
            continue;
        }
        Channel& second = channels[e.plan.channels[1]];
        out.put(uint32_t(e.maxSfb), 6);
        const bool anyMidSide =
            std::any_of(e.midSide.begin(), e.midSide.begin() + e.maxSfb, [](bool v) { return v; });
        out.put(anyMidSide ? 1 : 0, 2);
        if (anyMidSide)
            for (int b = 0; b < e.maxSfb; ++b) out.put(e.midSide[b] ? 1 : 0, 1);
        first.frame.write(out, e.maxSfb, false);
        second.frame.write(out, e.maxSfb, false);
    }
}

std::vector<uint8_t> AacEldEncoder::encode(const float* interleaved) {
    State& s = *state_;
    const int count = int(s.channels.size());
    last_ = EncodedFrameInfo{};
    last_.reservoir = reservoir_;
    last_.budget = std::min(bitsPerFrame() + reservoir_, kMaxBitsPerChannel * count);
    s.bandLimit = s.configuredBandLimit;

    for (int c = 0; c < count; ++c) {
        State::Channel& ch = s.channels[c];
        for (int i = 0; i < kFrameLength; ++i) ch.input[i] = sanitize(interleaved[i * count + c]);
        ch.analysis.analyze(ch.input.data(), 1, ch.frame.spectrum.data());
        ch.model.analyze(ch.frame.spectrum.data(), ch.masking);
        last_.perceptualEntropy += ch.masking.perceptualEntropy;
        ch.frame.tns = TnsFilter{};
        const bool attack = hasAttack(ch.input.data(), ch.blockEnergy[0], ch.blockEnergy[1]);
        if (attack && !ch.lfe &&
            applyTemporalNoiseShaping(ch.frame.spectrum.data(), s.bandLimit, ch.frame.tns))
            ++last_.tnsChannels;
    }
    for (State::Element& e : s.elements) {
        if (e.plan.type != ElementType::pair) continue;
        s.decideMidSide(e);
        last_.midSideBands += int(std::count(e.midSide.begin(), e.midSide.end(), true));
    }
    for (State::Channel& ch : s.channels) s.prepareChannel(ch, ch.masking.threshold);

    // Rate loop: the finest frame-wide offset whose exact size fits the budget. Sizes fall as the
    // offset grows, and neighbouring frames choose alike: the search starts at the previous
    // frame's offset and widens its step until it brackets the answer, which takes a few sizings
    // where a search over the whole range takes ten.
    const int budget = last_.budget;
    int sizedOffset = kMinOffset - 1, sizedBits = 0;  // the last sizing, whose state is kept
    auto fits = [&](int offset) {
        sizedOffset = offset;
        sizedBits = s.frameBits(offset);
        return sizedBits <= budget;
    };
    int chosen = kMinOffset;
    int lo = 0, hi = 0;  // lo does not fit (or lies below the range), hi fits
    bool bracketed = false;
    const int guess = std::clamp(previousOffset_, kMinOffset, kMaxOffset);
    if (fits(guess)) {
        hi = guess;
        for (int step = 1;; step *= 2) {
            lo = hi - step;
            if (lo < kMinOffset) {
                lo = kMinOffset - 1;
                break;
            }
            if (!fits(lo)) break;
            hi = lo;
        }
        bracketed = true;
    } else {
        lo = guess;
        for (int step = 1; lo < kMaxOffset; step *= 2) {
            hi = std::min(lo + step, kMaxOffset);
            if (fits(hi)) {
                bracketed = true;
                break;
            }
            lo = hi;
        }
    }
    if (!bracketed) {
        // Even the coarsest offset does not fit: give up the highest bands.
        lo = kMinOffset;
        hi = kMaxOffset;
        while (!fits(hi)) {
            if (s.bandLimit <= 1) break;
            --s.bandLimit;
            for (State::Channel& ch : s.channels) s.prepareChannel(ch, ch.masking.threshold);
        }
        if (fits(kMinOffset)) hi = kMinOffset;
    }
    while (hi - lo > 1) {
        const int mid = lo + (hi - lo) / 2;
        if (fits(mid))
            hi = mid;
        else
            lo = mid;
    }
    chosen = hi;
    previousOffset_ = chosen;
    last_.bits = sizedOffset == chosen ? sizedBits : s.frameBits(chosen);
    last_.offset = chosen;

    BitWriter out;
    s.write(out);
    std::vector<uint8_t> unit = out.finish();
    // What went on the wire, padding included, is what the reservoir pays for.
    reservoir_ = std::min(reservoir_ + bitsPerFrame() - int(unit.size()) * 8, reservoirSize());
    return unit;
}

}  // namespace vl::aac
