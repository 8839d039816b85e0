// virtualAudio/host: publishes the microphone on the desktop's sound server (PulseAudio, or
// PipeWire through pipewire-pulse) while the device is shown: a null sink fed by a playback
// stream whose write requests are the driver's read cycles, and a remap source of its monitor
// named "Corvane Vision Pro Microphone" that applications record from. Each recorder on that
// source is one StartIO, its end one StopIO.
#pragma once

#include "DriverHost.h"

#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <string>

struct pa_context;
struct pa_stream;
struct pa_threaded_mainloop;

namespace vl::michost {

class PulsePublisher {
  public:
    static constexpr const char* sourceName = "corvane_mic";
    static constexpr const char* sinkName = "corvane_mic_feed";
    static constexpr const char* description = "Corvane Vision Pro Microphone";

    struct Events {
        std::function<void(const std::string&)> report;
        // The number of recorders went from 0 to some, or back (on the sound server's thread).
        std::function<void(bool recording)> recordingChanged;
    };

    PulsePublisher(DriverHost& driver, Events events);
    ~PulsePublisher();
    PulsePublisher(const PulsePublisher&) = delete;
    PulsePublisher& operator=(const PulsePublisher&) = delete;

    // Connects (the client library's usual lookup, PULSE_SERVER included) and removes what an
    // earlier host left behind. An error text, or nothing when ready.
    std::optional<std::string> connect();
    // Publishes or withdraws the device; returns once done.
    void setShown(bool shown);
    // Frames the server pushed into the driver. A new recording plays from the moment a cushion
    // against the client's jitter has arrived; until then its recorders hear silence.
    void notePushed(std::uint64_t frames);
    static constexpr std::uint64_t cushionFrames = 960;

    // False once the sound server went away.
    bool alive() const { return alive_; }

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::atomic<bool> alive_{false};
};

}  // namespace vl::michost
