#include "Capture/ZuAudio.h"

#include "base/Log.h"

#include <chrono>
#include <thread>

namespace vl {

ZuAudio::ZuAudio(std::shared_ptr<AudioHardware> hardware) : hardware_(std::move(hardware)) {}

AudioSelector ZuAudio::fourCC(std::string_view code) {
    if (code.size() != 4) return 0;
    AudioSelector value = 0;
    for (char c : code) value = value << 8 | std::uint8_t(c);
    return value;
}

std::string ZuAudio::statusString(AudioStatus status) {
    const auto u = std::uint32_t(status);
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto c = char((u >> shift) & 0xff);
        if (c < 32 || c > 126) return std::to_string(status);
        text += c;
    }
    return "'" + text + "' (" + std::to_string(status) + ")";
}

std::optional<AudioObjectID> ZuAudio::findDevice(const std::string& uid) const {
    auto r = hardware_->getProperty(audioSystemObject, {audio::translateUIDToDevice}, uid);
    const auto* id = r.value ? std::get_if<std::uint32_t>(&*r.value) : nullptr;
    if (r.status != audiostatus::noError || !id || *id == audioObjectUnknown) {
        logMsg("Vantrel Link: 🤖 CoreAudio failed to translate UID. Status code: " +
               std::to_string(r.status));
        return std::nullopt;
    }
    return *id;
}

std::optional<std::uint32_t> ZuAudio::getUInt32(AudioObjectID device,
                                                AudioSelector selector) const {
    auto r = hardware_->getProperty(device, {selector});
    if (r.status != audiostatus::noError || !r.value) return std::nullopt;
    if (const auto* n = std::get_if<std::uint32_t>(&*r.value)) return *n;
    return std::nullopt;
}

std::optional<Bytes> ZuAudio::getData(AudioObjectID device, AudioSelector selector) const {
    auto r = hardware_->getProperty(device, {selector});
    if (r.status != audiostatus::noError || !r.value) return std::nullopt;
    if (auto* b = std::get_if<Bytes>(&*r.value)) return std::move(*b);
    return std::nullopt;
}

AudioStatus ZuAudio::setUInt32(AudioObjectID device, AudioSelector selector,
                               std::uint32_t value) const {
    return hardware_->setProperty(device, {selector}, value);
}

std::optional<AudioObjectID> ZuAudio::getCurrentDefaultAudioOutputDevice() const {
    auto r = hardware_->getProperty(audioSystemObject, {audio::defaultOutputDevice});
    const auto* id = r.value ? std::get_if<std::uint32_t>(&*r.value) : nullptr;
    if (r.status != audiostatus::noError || !id || *id == audioObjectUnknown) return std::nullopt;
    return *id;
}

AudioStatus ZuAudio::setDefaultAudioOutputDevice(AudioObjectID device) const {
    return hardware_->setProperty(audioSystemObject, {audio::defaultOutputDevice}, device);
}

std::optional<AudioStreamDescription> ZuAudio::outputStreamFormat(AudioObjectID device) const {
    auto r = hardware_->getProperty(device, {audio::streamFormat, audio::scopeOutput, 0});
    if (r.status != audiostatus::noError || !r.value) return std::nullopt;
    if (const auto* d = std::get_if<AudioStreamDescription>(&*r.value)) return *d;
    return std::nullopt;
}

namespace {

template <class Read>
bool pollUntil(double timeout, double pollInterval, Read read) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    while (std::chrono::steady_clock::now() < deadline) {
        if (read()) return true;
        std::this_thread::sleep_for(std::chrono::duration<double>(pollInterval));
    }
    return read();
}

}  // namespace

bool ZuAudio::waitForVisible(AudioObjectID device, bool expected, double timeout,
                             double pollInterval) const {
    // An unreadable device counts as hidden, so waiting for "hidden" ends at once.
    return pollUntil(timeout, pollInterval, [&] {
        const auto value = getUInt32(device, kAudioDeviceCustomPropertyShowAudio);
        return (value && *value == 1) == expected;
    });
}

bool ZuAudio::waitForChannels(AudioObjectID device, ZuChannels expected, double timeout,
                              double pollInterval) const {
    return pollUntil(timeout, pollInterval, [&] {
        return getUInt32(device, kAudioDeviceCustomPropertySetChannels) == channelCount(expected);
    });
}

AudioStatus ZuAudio::writeToMic(AudioSelector selector, std::uint32_t value) const {
    auto device = findDevice(microphoneUID);
    if (!device) return deviceNotFound;
    return setUInt32(*device, selector, value);
}

AudioStatus ZuAudio::setMicPort(std::uint32_t port) const {
    return writeToMic(kAudioDeviceCustomPropertyAudioPort, port);
}
AudioStatus ZuAudio::warmupMic() const {
    return writeToMic(kAudioDeviceCustomPropertyWarm, 1);
}
AudioStatus ZuAudio::cooldownMic() const {
    return writeToMic(kAudioDeviceCustomPropertyCooldown, 1);
}

}  // namespace vl
