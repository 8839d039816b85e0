// Capture: turns the tap's 48 kHz float PCM into AAC-ELD packets of 480 frames, one raw access
// unit per packet, in one of the five channel layouts. Called only on the tap's capture queue.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Capture/ZuAudioBuffer.h"
#include "Capture/ZuChannels.h"
#include "base/Bytes.h"

namespace vl {

namespace aac {
class AacEldEncoder;
}

class ZuAudioEncoder {
  public:
    static constexpr std::uint32_t framesPerPacket = 480;

    // bitRate 0: 1.5 bits per sample for every full-band channel of the layout that carries it
    // (2.1: the stereo rate). Nothing (and a report) when the codec cannot be set up.
    static std::unique_ptr<ZuAudioEncoder> create(ZuChannels channels, int bitRate = 0);
    ~ZuAudioEncoder();
    ZuAudioEncoder(const ZuAudioEncoder&) = delete;
    ZuAudioEncoder& operator=(const ZuAudioEncoder&) = delete;

    // Complete access units in encoding order; often none. Frames short of a packet wait in
    // `pending` for the next call.
    std::vector<Bytes> encode(const ZuAudioBuffer& pcmBuffer);

    // Starts a new stream: pending frames are dropped and the codec is as it was when made.
    void reset();

    ZuChannels channels() const { return channels_; }
    double sampleRate() const { return sampleRate_; }
    std::size_t pendingFrames() const { return pending_.size() / channelCount(channels_); }
    int bitRate() const;
    // What the receiving decoder is configured with, and the channel count it then decodes.
    Bytes audioSpecificConfig() const;
    std::uint32_t codedChannelCount() const;

  private:
    ZuAudioEncoder(ZuChannels channels, std::unique_ptr<aac::AacEldEncoder> encoder);
    const float* codedChunk(const float* chunk);

    std::unique_ptr<aac::AacEldEncoder> encoderRef_;
    ZuChannels channels_;
    double sampleRate_ = 48000.0;
    std::vector<float> pending_;
    std::vector<float> chunk_;
    std::vector<float> coded_;
};

}  // namespace vl
