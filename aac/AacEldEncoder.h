// aac: our AAC-ELD encoder — object type 39, core only, 48 kHz, 480-sample frames, raw access
// units. Input is 32-bit float, interleaved in the layout's input order.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace vl::aac {

// Channel layouts with an ELD channel configuration. Input order:
//   mono: C;  stereo: L R;  fivePointOne: L R C LFE Ls Rs;
//   sevenPointOne: L R C LFE Ls Rs Rls Rrs (Ls/Rs the side pair, Rls/Rrs the back pair).
enum class EldChannelLayout { mono, stereo, fivePointOne, sevenPointOne };

const char* description(EldChannelLayout layout);
int channelCount(EldChannelLayout layout);
int channelConfiguration(EldChannelLayout layout);
// 1.5 bits per sample for every channel except the LFE.
int defaultBitRate(EldChannelLayout layout);
// The AudioSpecificConfig the decoder needs (e.g. stereo: f8 e6 50 00).
std::vector<uint8_t> audioSpecificConfig(EldChannelLayout layout);

struct EncodedFrameInfo {
    int bits = 0;       // size of the access unit before byte padding
    int budget = 0;     // most bits the frame may take: the average plus what the reservoir holds
    int reservoir = 0;  // bits saved by earlier frames when this one started
    float perceptualEntropy = 0.0f;
    int offset = 0;  // frame-wide scalefactor offset chosen by the rate loop
    int midSideBands = 0;
    int tnsChannels = 0;
};

class AacEldEncoder {
  public:
    static constexpr int kFrameLength = 480;
    static constexpr int kSampleRate = 48000;

    // bitRate 0 selects defaultBitRate(layout); others are clamped to 8 kbit/s per channel
    // up to the format's maximum of 6144 bits per channel and frame.
    explicit AacEldEncoder(EldChannelLayout layout, int bitRate = 0);
    ~AacEldEncoder();
    AacEldEncoder(const AacEldEncoder&) = delete;
    AacEldEncoder& operator=(const AacEldEncoder&) = delete;

    EldChannelLayout layout() const { return layout_; }
    int channelCount() const;
    int bitRate() const { return bitRate_; }
    // The average budget of a frame.
    int bitsPerFrame() const { return int(std::int64_t(bitRate_) * kFrameLength / kSampleRate); }
    // The bit reservoir: a frame may take up to one average frame's worth of bits that earlier
    // frames left unused, so the bits sent never run ahead of the rate by more than that. Our
    // transport carries each unit as it comes, so saving costs no delay.
    int reservoirSize() const { return bitsPerFrame(); }
    int reservoir() const { return reservoir_; }
    std::vector<uint8_t> audioSpecificConfig() const { return aac::audioSpecificConfig(layout_); }

    // Starts a new stream: the encoder is as it was when made, at the same layout and rate.
    void reset();

    // Encodes one frame: 480 x channelCount() floats. NaN, infinities and samples outside
    // [-1, 1] are clipped. Returns one raw access unit.
    std::vector<uint8_t> encode(const float* interleaved);
    const EncodedFrameInfo& lastFrame() const { return last_; }

  private:
    struct State;
    EldChannelLayout layout_;
    int bitRate_;
    std::unique_ptr<State> state_;
    EncodedFrameInfo last_;
    // Bits saved (negative: up to 7 bits of byte padding owed); at most reservoirSize().
    int reservoir_ = 0;
    int previousOffset_ = 0;  // where the next frame's rate loop starts
};

}  // namespace vl::aac
