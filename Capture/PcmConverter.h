// Capture: converts the audio tap's captured PCM (16/32-bit integer or 32-bit float, any rate)
// to the delivery format, 32-bit float interleaved at the delivery rate with the same channels.
// Resampling is linear and continues across buffers.
#pragma once

#include "Capture/PcmFormat.h"
#include "Capture/ZuAudioBuffer.h"
#include "base/Bytes.h"

#include <optional>
#include <vector>

namespace vl {

// Captured PCM in its own format; interleaved buffers hold frames in order, deinterleaved ones
// one plane per channel.
struct PcmBuffer {
    PcmFormat format;
    std::uint32_t frameLength = 0;
    Bytes data;
};

class PcmConverter {
  public:
    // None when the target is not float interleaved or the channel counts differ.
    static std::optional<PcmConverter> make(const PcmFormat& from, const PcmFormat& to);

    // Frames the output of `inputFrames` may need: ceil(to rate / from rate x frames) + 1.
    std::uint32_t outputCapacity(std::uint32_t inputFrames) const;
    // At most `capacity` frames; may be empty at the very start of a resampled stream.
    ZuAudioBuffer convert(const PcmBuffer& input, std::uint32_t capacity);

    // Samples of one buffer as float, interleaved, without resampling.
    static std::vector<float> toFloatInterleaved(const PcmBuffer& input);

  private:
    PcmConverter(PcmFormat from, PcmFormat to);
    PcmFormat from_;
    PcmFormat to_;
    double step_;                 // input frames per output frame
    double position_ = 1.0;       // of the next output, in frames after history_'s frame
    std::vector<float> history_;  // the last input frame of the previous buffer
};

}  // namespace vl
