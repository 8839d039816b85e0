#include "Capture/MicAudio.h"

#include "base/Log.h"

namespace vl::MicAudio {

namespace {

AudioPropertyAddress global(AudioSelector selector) {
    return AudioPropertyAddress{selector, audio::scopeGlobal, 0};
}

AudioStatus setOnMicrophone(AudioHardware& audio, AudioSelector selector, std::uint32_t value) {
    auto device = findDevice(audio);
    if (!device) return 2;
    return setUInt32(audio, *device, selector, value);
}

}  // namespace

std::optional<AudioObjectID> findDevice(AudioHardware& audio, const std::string& uid) {
    auto result = audio.getProperty(audioSystemObject, global(audio::translateUIDToDevice), uid);
    const auto* id = result.value ? std::get_if<std::uint32_t>(&*result.value) : nullptr;
    if (result.status != audiostatus::noError || !id || *id == audioObjectUnknown) {
        logMsg("Vantrel Link: 🤖 CoreAudio failed to translate UID. Status code: " +
               std::to_string(result.status));
        return std::nullopt;
    }
    return *id;
}

std::optional<std::uint32_t> getUInt32(AudioHardware& audio, AudioObjectID device,
                                       AudioSelector selector) {
    auto result = audio.getProperty(device, global(selector));
    if (result.status != audiostatus::noError || !result.value) return std::nullopt;
    if (const auto* n = std::get_if<std::uint32_t>(&*result.value)) return *n;
    return std::nullopt;
}

AudioStatus setUInt32(AudioHardware& audio, AudioObjectID device, AudioSelector selector,
                      std::uint32_t value) {
    return audio.setProperty(device, global(selector), AudioValue(value));
}

AudioStatus setMicPort(AudioHardware& audio, int port) {
    return setOnMicrophone(audio, audio::audioPort, static_cast<std::uint32_t>(port));
}

AudioStatus warmupMic(AudioHardware& audio) {
    return setOnMicrophone(audio, audio::warm, 1);
}

AudioStatus cooldownMic(AudioHardware& audio) {
    return setOnMicrophone(audio, audio::cooldown, 1);
}

std::string statusString(AudioStatus status) {
    const auto u = static_cast<std::uint32_t>(status);
    std::string chars;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = static_cast<char>((u >> shift) & 0xff);
        if (c < 32 || c > 126) return std::to_string(status);
        chars += c;
    }
    return "'" + chars + "' (" + std::to_string(status) + ")";
}

}  // namespace vl::MicAudio
