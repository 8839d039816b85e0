// client/viewer/media: the session's system audio played on this machine — the audio port's
// AAC-ELD decoded (AudioSink), queued in a small jitter buffer and played through an SDL audio
// device in the layout's channels (folded into 7.1 where the layout has more).
#pragma once

#include "Capture/ZuChannels.h"

#include <cstdint>
#include <memory>
#include <string>

namespace vl {

class ViewerAudio {
  public:
    struct Stats {
        std::uint64_t packets = 0;
        std::uint64_t decodeErrors = 0;
        std::uint64_t underruns = 0;
        std::uint64_t overruns = 0;
        std::uint64_t droppedFrames = 0;
        // Mean audio queued ahead of the device while playing, in milliseconds.
        double addedLatencyMs = 0;
    };

    // Connects to the audio port and opens the default audio device. Nothing (and why) when
    // either fails. Initialises SDL's audio subsystem itself (reference counted by SDL).
    static std::unique_ptr<ViewerAudio> open(const std::string& host, std::uint16_t port,
                                             ZuChannels layout, std::string* error);
    ~ViewerAudio();
    ViewerAudio(const ViewerAudio&) = delete;
    ViewerAudio& operator=(const ViewerAudio&) = delete;

    // Any thread.
    void setVolume(float volume);  // 0..1
    float volume() const;
    void toggleMute();
    bool muted() const;
    Stats stats() const;
    // False once the server closed the audio stream.
    bool connected() const;

    struct Impl;

  private:
    explicit ViewerAudio(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace vl
