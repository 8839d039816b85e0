// platform/audio: the one object space the system code sees, merged from every device provider
// (the sound server's devices, the virtual microphone's host). Provider k's object n is object
// (k + 1) << 24 | n, so ids stay stable while providers come and go.
#pragma once

#include "platform/audio/Interface.h"

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace vl {

class AudioObjectSystem : public AudioHardware {
  public:
    AudioObjectSystem() = default;
    explicit AudioObjectSystem(std::vector<std::shared_ptr<AudioDeviceProvider>> providers);

    // Providers are asked in the order added; the first that knows a UID or the default output
    // answers. Safe to call while other threads use the system.
    void addProvider(std::shared_ptr<AudioDeviceProvider> provider);

    AudioGetResult getProperty(AudioObjectID object, const AudioPropertyAddress& address,
                               const std::string& qualifier = {}) override;
    AudioStatus setProperty(AudioObjectID object, const AudioPropertyAddress& address,
                            const AudioValue& value) override;
    AudioListenerToken addPropertyListener(AudioObjectID object,
                                           const AudioPropertyAddress& address,
                                           AudioPropertyListener listener) override;
    void removePropertyListener(AudioListenerToken token) override;

    static constexpr int providerShift = 24;
    static constexpr AudioObjectID localMask = (AudioObjectID(1) << providerShift) - 1;

  private:
    struct Route {
        std::shared_ptr<AudioDeviceProvider> provider;
        AudioObjectID local = 0;
        std::size_t index = 0;
    };
    std::optional<Route> route(AudioObjectID object) const;
    std::vector<std::shared_ptr<AudioDeviceProvider>> snapshot() const;
    static AudioObjectID globalID(std::size_t index, AudioObjectID local) {
        return AudioObjectID(index + 1) << providerShift | (local & localMask);
    }

    mutable std::mutex mutex_;  // guards the fields below; never held while calling a provider
    std::vector<std::shared_ptr<AudioDeviceProvider>> providers_;
    struct Listening {
        std::vector<std::pair<std::shared_ptr<AudioDeviceProvider>, AudioListenerToken>> parts;
    };
    std::map<AudioListenerToken, Listening> listeners_;
    AudioListenerToken nextToken_ = 1;
};

}  // namespace vl
