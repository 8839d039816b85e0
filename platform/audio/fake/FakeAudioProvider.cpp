#include "platform/audio/fake/FakeAudioProvider.h"

#include <utility>

namespace vl {

AudioObjectID FakeAudioProvider::addDevice(const std::string& uid, AudioStreamDescription format) {
    std::lock_guard lock(mutex_);
    const AudioObjectID id = nextID_++;
    Device& d = devices_[id];
    d.uid = uid;
    d.values[audio::streamFormat] = format;
    d.values[audio::deviceUID] = Bytes(uid.begin(), uid.end());
    return id;
}

AudioObjectID FakeAudioProvider::addOutputDevice(const std::string& uid,
                                                 AudioStreamDescription format) {
    const AudioObjectID id = addDevice(uid, format);
    std::lock_guard lock(mutex_);
    Device& d = devices_[id];
    d.outputDevice = true;
    d.values[audio::showAudio] = std::uint32_t(0);
    d.values[audio::setChannels] = format.channelsPerFrame;
    return id;
}

void FakeAudioProvider::removeDevice(AudioObjectID device) {
    std::lock_guard lock(mutex_);
    devices_.erase(device);
    if (defaultOutput_ == device) defaultOutput_.reset();
}

void FakeAudioProvider::setValue(AudioObjectID device, AudioSelector selector, AudioValue value) {
    {
        std::lock_guard lock(mutex_);
        auto it = devices_.find(device);
        if (it == devices_.end()) return;
        it->second.values[selector] = std::move(value);
    }
    notify(device, selector);
}

std::optional<AudioValue> FakeAudioProvider::value(AudioObjectID device,
                                                   AudioSelector selector) const {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(device);
    if (it == devices_.end()) return std::nullopt;
    auto v = it->second.values.find(selector);
    if (v == it->second.values.end()) return std::nullopt;
    return v->second;
}

void FakeAudioProvider::failGet(AudioObjectID device, AudioSelector selector, AudioStatus status) {
    std::lock_guard lock(mutex_);
    auto& failures = devices_[device].getFailures;
    if (status == audiostatus::noError)
        failures.erase(selector);
    else
        failures[selector] = status;
}

void FakeAudioProvider::failSet(AudioObjectID device, AudioSelector selector, AudioStatus status) {
    std::lock_guard lock(mutex_);
    auto& failures = devices_[device].setFailures;
    if (status == audiostatus::noError)
        failures.erase(selector);
    else
        failures[selector] = status;
}

void FakeAudioProvider::ignoreChannelWrites(AudioObjectID device, bool ignore) {
    std::lock_guard lock(mutex_);
    devices_[device].ignoreChannelWrites = ignore;
}

void FakeAudioProvider::queuePCM(AudioObjectID device, ByteView pcm) {
    std::lock_guard lock(mutex_);
    auto& d = devices_[device];
    d.pcm.insert(d.pcm.end(), pcm.begin(), pcm.end());
}

std::vector<AudioValue> FakeAudioProvider::writes(AudioObjectID device,
                                                  AudioSelector selector) const {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(device);
    if (it == devices_.end()) return {};
    auto w = it->second.writes.find(selector);
    return w == it->second.writes.end() ? std::vector<AudioValue>{} : w->second;
}

std::size_t FakeAudioProvider::getCount(AudioObjectID device, AudioSelector selector) const {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(device);
    if (it == devices_.end()) return 0;
    auto g = it->second.gets.find(selector);
    return g == it->second.gets.end() ? 0 : g->second;
}

void FakeAudioProvider::setDefaultOutput(std::optional<AudioObjectID> device) {
    {
        std::lock_guard lock(mutex_);
        defaultOutput_ = device;
    }
    notify(audioSystemObject, audio::defaultOutputDevice);
}

std::optional<AudioObjectID> FakeAudioProvider::defaultOutput() const {
    std::lock_guard lock(mutex_);
    return defaultOutput_;
}

std::size_t FakeAudioProvider::defaultOutputWrites() const {
    std::lock_guard lock(mutex_);
    return defaultOutputWrites_;
}

std::optional<AudioObjectID> FakeAudioProvider::deviceForUID(const std::string& uid) {
    std::lock_guard lock(mutex_);
    for (const auto& [id, d] : devices_)
        if (d.uid == uid) return id;
    return std::nullopt;
}

AudioGetResult FakeAudioProvider::getProperty(AudioObjectID device,
                                              const AudioPropertyAddress& address) {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(device);
    if (it == devices_.end()) return {audiostatus::badObject, std::nullopt};
    Device& d = it->second;
    ++d.gets[address.selector];
    if (auto f = d.getFailures.find(address.selector); f != d.getFailures.end())
        return {f->second, std::nullopt};
    if (d.outputDevice && address.selector == audio::speakerPCM)
        return {audiostatus::noError, AudioValue(std::exchange(d.pcm, {}))};
    auto v = d.values.find(address.selector);
    if (v == d.values.end()) return {audiostatus::unknownProperty, std::nullopt};
    return {audiostatus::noError, v->second};
}

AudioStatus FakeAudioProvider::setProperty(AudioObjectID device,
                                           const AudioPropertyAddress& address,
                                           const AudioValue& value) {
    {
        std::lock_guard lock(mutex_);
        auto it = devices_.find(device);
        if (it == devices_.end()) return audiostatus::badObject;
        Device& d = it->second;
        d.writes[address.selector].push_back(value);
        if (auto f = d.setFailures.find(address.selector); f != d.setFailures.end())
            return f->second;
        if (d.outputDevice && address.selector == audio::setChannels) {
            const auto* n = std::get_if<std::uint32_t>(&value);
            if (!n) return audiostatus::badPropertySize;
            if (!d.ignoreChannelWrites) {
                d.values[audio::setChannels] = *n;
                auto format = std::get<AudioStreamDescription>(d.values[audio::streamFormat]);
                const std::uint32_t bytesPerSample =
                    format.channelsPerFrame ? format.bytesPerFrame / format.channelsPerFrame : 4;
                format.channelsPerFrame = *n;
                format.bytesPerFrame = format.bytesPerPacket = bytesPerSample * *n;
                d.values[audio::streamFormat] = format;
            }
        } else {
            d.values[address.selector] = value;
        }
    }
    notify(device, address.selector);
    return audiostatus::noError;
}

std::optional<AudioObjectID> FakeAudioProvider::defaultOutputDevice() {
    std::lock_guard lock(mutex_);
    return defaultOutput_;
}

AudioStatus FakeAudioProvider::setDefaultOutputDevice(AudioObjectID device) {
    {
        std::lock_guard lock(mutex_);
        ++defaultOutputWrites_;
        if (!devices_.count(device)) return audiostatus::badDevice;
        defaultOutput_ = device;
    }
    notify(audioSystemObject, audio::defaultOutputDevice);
    return audiostatus::noError;
}

AudioListenerToken FakeAudioProvider::addPropertyListener(AudioObjectID device,
                                                          const AudioPropertyAddress& address,
                                                          AudioPropertyListener listener) {
    std::lock_guard lock(mutex_);
    const AudioListenerToken token = nextToken_++;
    listeners_[token] = Listener{device, address.selector, std::move(listener)};
    return token;
}

void FakeAudioProvider::removePropertyListener(AudioListenerToken token) {
    std::lock_guard lock(mutex_);
    listeners_.erase(token);
}

void FakeAudioProvider::notify(AudioObjectID device, AudioSelector selector) {
    std::vector<AudioPropertyListener> calls;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, l] : listeners_)
            if (l.device == device && l.selector == selector) calls.push_back(l.call);
    }
    for (auto& call : calls) call();
}

}  // namespace vl
