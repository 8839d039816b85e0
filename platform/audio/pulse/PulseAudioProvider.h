// platform/audio/pulse: the sound server's devices through the PulseAudio client library (the
// same code serves PipeWire through pipewire-pulse). "Corvane Audio" is ours: an object that exists
// while the server is reachable; showing it loads a null sink, its channel count reloads that sink,
// and its speaker PCM is what the sink's monitor delivered since the previous read. Every other
// sink is a device too (its UID is the sink name), so the default output can be read and restored.
// A sink of our name left by an earlier run is unloaded when we connect. The connection is
// re-established while the server is away.
#pragma once

#include "platform/audio/Interface.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace vl {

class PulseAudioProvider : public AudioDeviceProvider {
  public:
    struct Options {
        std::string server;  // empty: the client library's lookup (PULSE_SERVER, runtime folder)
        std::string sinkName = "corvane_audio";
        std::string description = "Corvane Audio";
        std::chrono::milliseconds reconnectInterval{500};
        // Speaker PCM kept for a reader that falls behind; older audio is dropped.
        std::chrono::milliseconds maxBuffered{500};
        // Monitor fragment size: how often the sound server hands over captured audio.
        std::chrono::milliseconds fragment{10};
    };
    using Report = std::function<void(const std::string&)>;

    // Starts connecting at once; the devices appear when the server answers.
    static std::shared_ptr<PulseAudioProvider> create(Options options, Report report = {});
    ~PulseAudioProvider() override;

    bool connected() const;
    // Waits until connected (and a leftover sink is gone); false at the timeout.
    bool waitConnected(std::chrono::milliseconds timeout) const;

    // The local id of "Corvane Audio".
    static constexpr AudioObjectID outputDeviceID = 2;

    std::optional<AudioObjectID> deviceForUID(const std::string& uid) override;
    AudioGetResult getProperty(AudioObjectID device, const AudioPropertyAddress& address) override;
    AudioStatus setProperty(AudioObjectID device, const AudioPropertyAddress& address,
                            const AudioValue& value) override;
    std::optional<AudioObjectID> defaultOutputDevice() override;
    AudioStatus setDefaultOutputDevice(AudioObjectID device) override;
    AudioListenerToken addPropertyListener(AudioObjectID device,
                                           const AudioPropertyAddress& address,
                                           AudioPropertyListener listener) override;
    void removePropertyListener(AudioListenerToken token) override;

    struct Impl;

  private:
    explicit PulseAudioProvider(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The channel map of the sink for a channel count: 2.0, 2.1, 5.1, 7.1, 7.1.4, in the order of
// the stream's layouts; empty for other counts.
std::string pulseChannelMap(std::uint32_t channels);

}  // namespace vl
