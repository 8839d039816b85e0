#include "platform/audio/AudioObjectSystem.h"

namespace vl {

AudioObjectSystem::AudioObjectSystem(std::vector<std::shared_ptr<AudioDeviceProvider>> providers)
    : providers_(std::move(providers)) {}

void AudioObjectSystem::addProvider(std::shared_ptr<AudioDeviceProvider> provider) {
    std::lock_guard lock(mutex_);
    providers_.push_back(std::move(provider));
}

std::vector<std::shared_ptr<AudioDeviceProvider>> AudioObjectSystem::snapshot() const {
    std::lock_guard lock(mutex_);
    return providers_;
}

std::optional<AudioObjectSystem::Route> AudioObjectSystem::route(AudioObjectID object) const {
    const std::size_t index = (object >> providerShift);
    const AudioObjectID local = object & localMask;
    std::lock_guard lock(mutex_);
    if (index == 0 || index > providers_.size() || local <= audioSystemObject) return std::nullopt;
    return Route{providers_[index - 1], local, index - 1};
}

AudioGetResult AudioObjectSystem::getProperty(AudioObjectID object,
                                              const AudioPropertyAddress& address,
                                              const std::string& qualifier) {
    if (object == audioSystemObject) {
        const auto providers = snapshot();
        if (address.selector == audio::translateUIDToDevice) {
            for (std::size_t i = 0; i < providers.size(); ++i)
                if (auto local = providers[i]->deviceForUID(qualifier))
                    return {audiostatus::noError, AudioValue(globalID(i, *local))};
            // Like the platform: an unknown UID translates to "no object".
            return {audiostatus::noError, AudioValue(audioObjectUnknown)};
        }
        if (address.selector == audio::defaultOutputDevice) {
            for (std::size_t i = 0; i < providers.size(); ++i)
                if (auto local = providers[i]->defaultOutputDevice())
                    return {audiostatus::noError, AudioValue(globalID(i, *local))};
            return {audiostatus::noError, AudioValue(audioObjectUnknown)};
        }
        return {audiostatus::unknownProperty, std::nullopt};
    }
    auto r = route(object);
    if (!r) return {audiostatus::badObject, std::nullopt};
    return r->provider->getProperty(r->local, address);
}

AudioStatus AudioObjectSystem::setProperty(AudioObjectID object,
                                           const AudioPropertyAddress& address,
                                           const AudioValue& value) {
    if (object == audioSystemObject) {
        if (address.selector != audio::defaultOutputDevice) return audiostatus::unknownProperty;
        const auto* device = std::get_if<std::uint32_t>(&value);
        if (!device) return audiostatus::badPropertySize;
        auto r = route(*device);
        if (!r) return audiostatus::badDevice;
        return r->provider->setDefaultOutputDevice(r->local);
    }
    auto r = route(object);
    if (!r) return audiostatus::badObject;
    return r->provider->setProperty(r->local, address, value);
}

AudioListenerToken AudioObjectSystem::addPropertyListener(AudioObjectID object,
                                                          const AudioPropertyAddress& address,
                                                          AudioPropertyListener listener) {
    Listening listening;
    if (object == audioSystemObject) {
        // System properties: every provider that can tell.
        for (const auto& provider : snapshot())
            if (auto token = provider->addPropertyListener(audioSystemObject, address, listener))
                listening.parts.emplace_back(provider, token);
    } else if (auto r = route(object)) {
        if (auto token = r->provider->addPropertyListener(r->local, address, std::move(listener)))
            listening.parts.emplace_back(r->provider, token);
    }
    if (listening.parts.empty()) return 0;
    std::lock_guard lock(mutex_);
    const AudioListenerToken token = nextToken_++;
    listeners_.emplace(token, std::move(listening));
    return token;
}

void AudioObjectSystem::removePropertyListener(AudioListenerToken token) {
    Listening listening;
    {
        std::lock_guard lock(mutex_);
        auto it = listeners_.find(token);
        if (it == listeners_.end()) return;
        listening = std::move(it->second);
        listeners_.erase(it);
    }
    for (auto& [provider, part] : listening.parts) provider->removePropertyListener(part);
}

}  // namespace vl
