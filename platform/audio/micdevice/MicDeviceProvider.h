// platform/audio/micdevice: the virtual microphone as a device of the audio service, reached
// through its host's property channel. Requests fail at once with `notRunning` while no host
// listens; a host that comes back (a restart) is reconnected in the background, told the
// listened selectors again, given back the shown state and port the server last set, and every
// listener is called so that callers read the state afresh.
#pragma once

#include "platform/audio/Interface.h"
#include "virtualAudio/PropertyChannel.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

namespace vl {

class MicDeviceProvider final : public AudioDeviceProvider {
  public:
    explicit MicDeviceProvider(
        std::filesystem::path socketPath = micchannel::defaultSocketPath(),
        std::chrono::milliseconds replyTimeout = std::chrono::milliseconds(1000));
    ~MicDeviceProvider() override;
    MicDeviceProvider(const MicDeviceProvider&) = delete;
    MicDeviceProvider& operator=(const MicDeviceProvider&) = delete;

    std::optional<AudioObjectID> deviceForUID(const std::string& uid) override;
    AudioGetResult getProperty(AudioObjectID device, const AudioPropertyAddress& address) override;
    AudioStatus setProperty(AudioObjectID device, const AudioPropertyAddress& address,
                            const AudioValue& value) override;
    AudioListenerToken addPropertyListener(AudioObjectID device,
                                           const AudioPropertyAddress& address,
                                           AudioPropertyListener listener) override;
    void removePropertyListener(AudioListenerToken token) override;

    bool connected() const;
    // How many times a host was connected after a lost one.
    int reconnections() const;

  private:
    struct Reply {
        std::optional<micchannel::Message> message;
        bool failed = false;
    };
    std::optional<micchannel::Message> request(micchannel::Message message);
    // Under mutex_: connects when not connected; whether there is a connection now.
    bool ensureConnectedLocked();
    void disconnectLocked();
    void run();
    void sendListen(AudioSelector selector);
    void notify(AudioSelector selector);

    const std::filesystem::path socketPath_;
    const std::chrono::milliseconds replyTimeout_;

    mutable std::mutex mutex_;
    std::condition_variable replied_;
    int fd_ = -1;
    bool stopping_ = false;
    bool everConnected_ = false;
    bool greetingDue_ = false;  // a new connection to be told the listened selectors
    int reconnections_ = 0;
    std::uint32_t nextRequest_ = 1;
    std::map<std::uint32_t, Reply> pending_;
    struct Listener {
        AudioSelector selector;
        AudioPropertyListener call;
    };
    std::map<AudioListenerToken, Listener> listeners_;
    AudioListenerToken nextToken_ = 1;
    std::optional<std::uint32_t> lastShown_;
    std::optional<std::uint32_t> lastPort_;

    std::mutex writeMutex_;  // one message at a time on the socket
    std::thread reader_;
};

}  // namespace vl
