// comm: the system audio port (control port + 1). Started, it prepares the virtual output device
// (shows it, sets its channel count, makes it the default output), starts an audio tap and sends
// every AAC-ELD packet the encoder makes of the tap's PCM to the active connection.
// Stopped, it hides the device and gives the default output back. A client packet on the
// connection comes back unchanged.
#pragma once

#include "Capture/AudioTap.h"
#include "Capture/ZuAudio.h"
#include "Capture/ZuAudioEncoder.h"
#include "comm/MediaServer.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

namespace vl {

class AudioServer : public MediaServer, public AudioTapDelegate {
  public:
    static constexpr std::size_t maximumReceive = 4096;
    // Device preparation: each wait up to 1 s, polling every 20 ms.
    static constexpr double settleTimeout = 1.0;
    static constexpr double settlePoll = 0.02;

    AudioServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue, std::string name,
                TlsIdentitySource identity, std::shared_ptr<ClientGate> gate, ZuAudio audio,
                TimerClock& clock = TimerClock::real());
    ~AudioServer() override;

    // Given by the creator before start().
    void setAudioChannel(std::optional<ZuChannels> channels) { audioChannel_ = channels; }
    void setEncoder(std::unique_ptr<ZuAudioEncoder> encoder);
    void setZuDeviceID(std::optional<AudioObjectID> device) { zuDeviceID_ = device; }

    // Blocks for the device preparation (up to about 2 s): never call it on the control queue.
    void start() override;
    void stop() override;

    // After the sound server came back: prepare the device again and restart the tap; the
    // listener and the client's connection stay.
    void restartDevice();

    void receivePacket(const std::shared_ptr<Connection>& connection) override;
    void audioTap(AudioTap& tap, const ZuAudioBuffer& buffer) override;

    std::optional<AudioObjectID> oldDefaultDeviceID() const;
    std::shared_ptr<AudioTap> audioTapInstance() const;
    bool stopRequested() const { return stopRequested_; }
    std::int64_t capturedCount() const { return capturedCount_; }
    std::int64_t encodeFailCount() const { return encodeFailCount_; }
    std::int64_t sentCount() const { return sentCount_; }

  protected:
    void reportConnection(ConnectionEvent event, const Connection& connection,
                          const std::optional<NetworkError>& error) override;

  private:
    void prepareDevice();
    void startTap();

    const ZuAudio audio_;
    TimerClock& clock_;
    std::optional<ZuChannels> audioChannel_;
    std::optional<AudioObjectID> zuDeviceID_;
    std::atomic<bool> stopRequested_{false};

    mutable std::mutex mutex_;  // guards the fields below
    std::optional<AudioObjectID> oldDefaultdeviceID_;
    std::shared_ptr<AudioTap> audioTap_;

    // Touched only on the tap's capture queue (and before start).
    std::unique_ptr<ZuAudioEncoder> encoder_;
    bool encoderPresent_ = false;

    std::atomic<std::int64_t> capturedCount_{0};
    std::atomic<std::int64_t> encodeFailCount_{0};
    std::atomic<std::int64_t> sentCount_{0};
};

}  // namespace vl
