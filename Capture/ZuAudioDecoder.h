// Capture: decodes the client's microphone — AAC-ELD access units of 480 stereo frames — into
// 48 kHz stereo float PCM, one plane per channel, and hands each buffer to `onPCMDecoded`.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "Capture/ZuAudioBuffer.h"
#include "base/Bytes.h"

namespace vl {

namespace aac {
class AacEldDecoder;
}

class ZuAudioDecoder {
  public:
    // The decoder's own layout: the microphone is always stereo.
    enum class Channels { stereo };

    ZuAudioDecoder();
    ~ZuAudioDecoder();
    ZuAudioDecoder(const ZuAudioDecoder&) = delete;
    ZuAudioDecoder& operator=(const ZuAudioDecoder&) = delete;

    const double sampleRate = 48000.0;
    const std::uint32_t framesPerPacket = 480;
    const Channels channels = Channels::stereo;
    const std::uint32_t channelCount = 2;
    const std::int64_t logEvery = 100;

    // Set before start(); called on the thread that hands in the packet.
    std::function<void(const ZuAudioBuffer&)> onPCMDecoded;

    // start() and stop() may come from another thread than the packets.
    void start();
    void stop();
    bool isRunning() const;

    // A new stream: the codec forgets what earlier payloads left in it; the counts go on.
    void reset();

    // One payload: decoded, counted, reported at the cadence, delivered.
    void handleAudioPacket(ByteView payload);
    // One payload to 480 deinterleaved stereo frames; nothing when it does not decode.
    std::optional<ZuAudioBuffer> decode(ByteView payload);
    bool createDecoder();

    std::int64_t decodedCount() const { return decodedCount_; }
    std::int64_t decodeFailures() const { return decodeFailures_; }
    std::int64_t scheduledCount() const { return scheduledCount_; }

  private:
    std::optional<ZuAudioBuffer> decodeLocked(ByteView payload);

    mutable std::mutex mutex_;  // the codec and isRunning_
    std::unique_ptr<aac::AacEldDecoder> decoder_;
    bool isRunning_ = false;
    std::atomic<std::int64_t> decodedCount_{0};
    std::atomic<std::int64_t> decodeFailures_{0};
    std::atomic<std::int64_t> scheduledCount_{0};
};

const char* description(ZuAudioDecoder::Channels channels);

}  // namespace vl
