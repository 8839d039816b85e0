#include "Capture/ZuAudioEncoder.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <string>

#include "aac/AacEldEncoder.h"
#include "base/Log.h"

namespace vl {
namespace {

using aac::EldChannelLayout;

// 2.1 and 7.1.4 have no ELD channel configuration that decoders accept, so they travel in the
// nearest one that does: 2.1 as 5.1 with silent centre and surrounds (every input channel stays
// discrete), 7.1.4 as 7.1 with each height channel folded at -3 dB into the bed channel below it.
EldChannelLayout eldLayoutOf(ZuChannels channels) {
    switch (channels) {
        case ZuChannels::stereo:
            return EldChannelLayout::stereo;
        case ZuChannels::twoPointOne:
        case ZuChannels::fivePointOne:
            return EldChannelLayout::fivePointOne;
        case ZuChannels::sevenPointOne:
        case ZuChannels::atmos:
            return EldChannelLayout::sevenPointOne;
    }
    return EldChannelLayout::stereo;
}

constexpr float kHeightGain = 0.70710678f;

}  // namespace

std::unique_ptr<ZuAudioEncoder> ZuAudioEncoder::create(ZuChannels channels, int bitRate) {
    // 2.1 has two full-band channels, so by default it gets the stereo rate rather than the
    // rate of the 5.1 layout it travels in; the silent channels cost next to nothing.
    if (bitRate <= 0 && channels == ZuChannels::twoPointOne)
        bitRate = aac::defaultBitRate(EldChannelLayout::stereo);
    try {
        auto encoder = std::make_unique<aac::AacEldEncoder>(eldLayoutOf(channels), bitRate);
        return std::unique_ptr<ZuAudioEncoder>(new ZuAudioEncoder(channels, std::move(encoder)));
    } catch (const std::exception& e) {
        logMsg(std::string("❌ ZuAudioEncoder: encoder creation failed (") + e.what() +
                   ", channels=" + std::to_string(channelCount(channels)) + ")",
               LogLevel::error);
        return nullptr;
    }
}

ZuAudioEncoder::ZuAudioEncoder(ZuChannels channels, std::unique_ptr<aac::AacEldEncoder> encoder)
    : encoderRef_(std::move(encoder)), channels_(channels) {
    chunk_.resize(std::size_t(framesPerPacket) * channelCount(channels_));
    coded_.resize(std::size_t(framesPerPacket) * encoderRef_->channelCount());
}

ZuAudioEncoder::~ZuAudioEncoder() = default;

void ZuAudioEncoder::reset() {
    pending_.clear();
    encoderRef_->reset();
}

int ZuAudioEncoder::bitRate() const {
    return encoderRef_->bitRate();
}

Bytes ZuAudioEncoder::audioSpecificConfig() const {
    return encoderRef_->audioSpecificConfig();
}

std::uint32_t ZuAudioEncoder::codedChannelCount() const {
    return std::uint32_t(encoderRef_->channelCount());
}

std::vector<Bytes> ZuAudioEncoder::encode(const ZuAudioBuffer& pcmBuffer) {
    std::vector<Bytes> packets;
    const std::uint32_t c = channelCount(channels_);
    if (pcmBuffer.channelCount != c) {
        logMsg("🔇 ZuAudioEncoder: dropping buffer — " + std::to_string(pcmBuffer.channelCount) +
               "ch buffer vs " + std::to_string(c) + "ch encoder (device not settled)");
        return packets;
    }
    // A frame length larger than the samples held is trusted only as far as the samples go.
    const std::uint32_t frames = pcmBuffer.availableFrames();
    if (frames > 0) {
        const std::size_t start = pending_.size();
        if (pcmBuffer.interleaved) {
            pending_.insert(pending_.end(), pcmBuffer.samples.begin(),
                            pcmBuffer.samples.begin() + std::ptrdiff_t(frames) * c);
        } else {
            pending_.resize(start + std::size_t(frames) * c);
            for (std::uint32_t ch = 0; ch < c; ++ch) {
                const float* plane = pcmBuffer.channelData(ch);
                for (std::uint32_t i = 0; i < frames; ++i) pending_[start + i * c + ch] = plane[i];
            }
        }
    }
    const std::size_t chunkSamples = std::size_t(framesPerPacket) * c;
    while (pending_.size() >= chunkSamples) {
        std::copy_n(pending_.begin(), chunkSamples, chunk_.begin());
        pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(chunkSamples));
        packets.push_back(encoderRef_->encode(codedChunk(chunk_.data())));
    }
    return packets;
}

// The chunk in the channel order of the ELD layout that carries this one.
const float* ZuAudioEncoder::codedChunk(const float* chunk) {
    switch (channels_) {
        case ZuChannels::stereo:
        case ZuChannels::fivePointOne:
        case ZuChannels::sevenPointOne:
            return chunk;
        case ZuChannels::twoPointOne:
            // L R LFE -> L R C LFE Ls Rs
            for (std::uint32_t i = 0; i < framesPerPacket; ++i) {
                const float* in = chunk + i * 3;
                float* out = coded_.data() + i * 6;
                out[0] = in[0];
                out[1] = in[1];
                out[2] = 0.0f;
                out[3] = in[2];
                out[4] = 0.0f;
                out[5] = 0.0f;
            }
            return coded_.data();
        case ZuChannels::atmos:
            // L R C LFE Ls Rs Rls Rrs Vhl Vhr Ltr Rtr -> L R C LFE Ls Rs Rls Rrs: the front
            // heights into L and R, the rear heights into the back pair. A NaN counts as silence
            // so that it does not mute its partner; the encoder clips what the sums leave.
            for (std::uint32_t i = 0; i < framesPerPacket; ++i) {
                const float* in = chunk + i * 12;
                float* out = coded_.data() + i * 8;
                auto finite = [](float v) { return std::isnan(v) ? 0.0f : v; };
                std::copy_n(in, 8, out);
                out[0] = finite(in[0]) + kHeightGain * finite(in[8]);
                out[1] = finite(in[1]) + kHeightGain * finite(in[9]);
                out[6] = finite(in[6]) + kHeightGain * finite(in[10]);
                out[7] = finite(in[7]) + kHeightGain * finite(in[11]);
            }
            return coded_.data();
    }
    return chunk;
}

}  // namespace vl
