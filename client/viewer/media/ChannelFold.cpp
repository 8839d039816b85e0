#include "client/viewer/media/ChannelFold.h"

#include <algorithm>

namespace vl {

ChannelFold::ChannelFold(int inputChannels, int outputChannels)
    : in_(inputChannels), out_(outputChannels) {}

void ChannelFold::apply(const float* input, std::size_t frames, std::vector<float>& output) const {
    output.assign(frames * std::size_t(out_), 0.0f);
    const bool sevenOne = out_ == 8 && in_ >= 8;
    for (std::size_t f = 0; f < frames; ++f) {
        const float* in = input + f * std::size_t(in_);
        float* out = output.data() + f * std::size_t(out_);
        for (int c = 0; c < std::min(in_, out_); ++c) out[c] = in[c];
        if (sevenOne) {
            std::swap(out[4], out[6]);
            std::swap(out[5], out[7]);
        }
        // Heights: even ones to the left, odd ones to the right.
        for (int c = out_; c < in_; ++c) out[(c - out_) % 2] += 0.5f * in[c];
    }
}

}  // namespace vl
