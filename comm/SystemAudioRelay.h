// comm: the session's system audio role. startAudio creates the AudioServer on the audio port
// with the encoder for the layout and the virtual output device, and starts it; stopAudio stops
// it. Both run on the relay's own queue, because preparing the device waits up to about 2 s and
// the control queue must not. While a server runs, the relay watches the sound server: when it
// goes the audio stops (reported) and when it is back the device is prepared again.
#pragma once

#include "Capture/ZuAudio.h"
#include "comm/AudioServer.h"
#include "comm/QuicServer.h"
#include "comm/SessionEnvironment.h"

#include <memory>

namespace vl {

class SystemAudioRelay : public AudioRelay, public std::enable_shared_from_this<SystemAudioRelay> {
  public:
    static std::shared_ptr<SystemAudioRelay> make(ZuAudio audio, TlsIdentitySource identity,
                                                  TimerClock& clock = TimerClock::real());
    ~SystemAudioRelay() override;

    std::optional<int> resolutionOfSupportedAudioChannels(Resolution resolution) override;
    void startAudio(std::optional<int> channels, const MediaPort& port) override;
    void stopAudio() override;
    // At exit: stops a running server and waits, so the default output is given back before the
    // process ends.
    void shutdown();

    // The relay's queue: work submitted after this call runs after every start and stop asked
    // for before it.
    DispatchQueue& queue() const { return *queue_; }
    std::shared_ptr<AudioServer> audioServer() const;

  private:
    SystemAudioRelay(ZuAudio audio, TlsIdentitySource identity, TimerClock& clock);
    void soundServerChanged();

    const ZuAudio audio_;
    const TlsIdentitySource identity_;
    TimerClock& clock_;
    std::shared_ptr<DispatchQueue> queue_;
    // On the relay's queue only.
    std::shared_ptr<AudioServer> audioServer_;
    std::optional<AudioObjectID> device_;
    bool soundServerLost_ = false;
    AudioListenerToken listener_ = 0;
    mutable std::mutex mutex_;  // for audioServer() from other threads
    std::shared_ptr<AudioServer> published_;
};

}  // namespace vl
