// client: the session's system audio as the headset receives it — the audio port opened, every
// AAC-ELD unit decoded with the configuration the server's encoder reports for the layout, and the
// PCM kept for a WAV file. The layout follows from the shared display's size, as the server
// chooses it.
#pragma once

#include "Capture/ZuChannels.h"
#include "client/StreamClient.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vl {

namespace aac {
class AacEldDecoder;
}

class AudioSink {
  public:
    using Clock = std::chrono::steady_clock;

    // Connects to the audio port and starts decoding. Nothing (and why) when the port does not
    // answer or the decoder cannot be configured.
    static std::unique_ptr<AudioSink> open(const std::string& host, std::uint16_t port,
                                           ZuChannels layout, std::string* error);
    ~AudioSink();
    AudioSink(const AudioSink&) = delete;
    AudioSink& operator=(const AudioSink&) = delete;

    ZuChannels layout() const { return layout_; }
    std::uint64_t packets() const;
    std::uint64_t decodeErrors() const;
    // Peak level of the last 100 ms decoded, in dBFS (-inf for silence).
    double recentLevelDbfs() const;
    bool open() const;
    // Called on the receive thread for every decoded packet: interleaved frames, their arrival.
    void setOnDecoded(std::function<void(const std::vector<float>&, Clock::time_point)> handler);
    // Whether decoded PCM is kept for finish() (it is unless told otherwise); a player that only
    // listens to setOnDecoded turns it off so a long session does not grow without bound.
    void setKeepPcm(bool keep);
    // Stops receiving and writes the PCM (32-bit float, the layout's channels) to the file.
    bool finish(const std::string& wavPath, std::string* error);

  private:
    AudioSink(ZuChannels layout, std::unique_ptr<aac::AacEldDecoder> decoder);
    void take(Packet&& packet);

    const ZuChannels layout_;
    std::unique_ptr<StreamClient> stream_;
    Uuid hello_ = Uuid::random();
    mutable std::mutex mutex_;  // guards the fields below
    std::unique_ptr<aac::AacEldDecoder> decoder_;
    std::vector<float> pcm_;
    std::vector<float> recentPeaks_;  // one per packet, the last ten
    std::uint64_t packets_ = 0;
    std::uint64_t decodeErrors_ = 0;
    bool keepPcm_ = true;
    std::function<void(const std::vector<float>&, Clock::time_point)> onDecoded_;
};

}  // namespace vl
