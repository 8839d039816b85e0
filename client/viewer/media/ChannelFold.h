// client/viewer/media: the stream's channel order (L R C LFE Ls Rs Rls Rrs, then four heights) in
// the audio device's order. Up to eight channels pass through (7.1 swaps sides and rears, as the
// device puts rears first); heights are folded into the front pair at half level.
#pragma once

#include <cstddef>
#include <vector>

namespace vl {

class ChannelFold {
  public:
    // The device channels for a stream of `inputChannels`.
    static int deviceChannels(int inputChannels) { return inputChannels > 8 ? 8 : inputChannels; }

    ChannelFold(int inputChannels, int outputChannels);

    int inputChannels() const { return in_; }
    int outputChannels() const { return out_; }
    // `frames` interleaved input frames into `output` (resized).
    void apply(const float* input, std::size_t frames, std::vector<float>& output) const;

  private:
    int in_;
    int out_;
};

}  // namespace vl
