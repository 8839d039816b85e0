// Capture: the audio helpers of the system audio path and the virtual microphone — the custom
// property selectors shared with both virtual devices, device lookup by UID, typed property reads
// and writes, polling waits, the default output device and the rendering of status codes. They
// act on the audio service given at construction.
#pragma once

#include "Capture/ZuChannels.h"
#include "platform/audio/Interface.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vl {

class ZuAudio {
  public:
    static constexpr AudioSelector kAudioDeviceCustomPropertyShowAudio = audio::showAudio;
    static constexpr AudioSelector kAudioDeviceCustomPropertySetChannels = audio::setChannels;
    static constexpr AudioSelector kAudioDeviceCustomPropertySpeakerPCM = audio::speakerPCM;
    static constexpr AudioSelector kAudioDeviceCustomPropertyAudioPort = audio::audioPort;
    static constexpr AudioSelector kAudioDeviceCustomPropertyWarm = audio::warm;
    static constexpr AudioSelector kAudioDeviceCustomPropertyCooldown = audio::cooldown;
    static constexpr AudioSelector kAudioDeviceCustomPropertyMicPCM = audio::micPCM;
    static constexpr AudioSelector kAudioDeviceCustomPropertyMicRunning = audio::micRunning;
    static constexpr const char* outputDeviceUID = audio::outputDeviceUID;
    static constexpr const char* microphoneUID = audio::microphoneUID;
    // The status of a microphone helper when the microphone is not there.
    static constexpr AudioStatus deviceNotFound = 2;

    explicit ZuAudio(std::shared_ptr<AudioHardware> hardware);

    // Four letters, the first in the most significant byte; 0 for anything but four characters.
    static AudioSelector fourCC(std::string_view code);
    // "'who?' (2003332927)" when the four bytes are printable, else the plain number.
    static std::string statusString(AudioStatus status);

    std::optional<AudioObjectID> findDevice(const std::string& uid) const;
    std::optional<std::uint32_t> getUInt32(AudioObjectID device, AudioSelector selector) const;
    std::optional<Bytes> getData(AudioObjectID device, AudioSelector selector) const;
    AudioStatus setUInt32(AudioObjectID device, AudioSelector selector, std::uint32_t value) const;
    std::optional<AudioObjectID> getCurrentDefaultAudioOutputDevice() const;
    AudioStatus setDefaultAudioOutputDevice(AudioObjectID device) const;
    std::optional<AudioStreamDescription> outputStreamFormat(AudioObjectID device) const;

    // Poll until the device's visibility (or channel count) is as expected or the timeout
    // passes, sleeping on the calling thread in between; the last read decides. Seconds.
    bool waitForVisible(AudioObjectID device, bool expected, double timeout,
                        double pollInterval) const;
    bool waitForChannels(AudioObjectID device, ZuChannels expected, double timeout,
                         double pollInterval) const;

    AudioStatus setMicPort(std::uint32_t port) const;
    AudioStatus warmupMic() const;
    AudioStatus cooldownMic() const;

    AudioHardware& hardware() const { return *hardware_; }

  private:
    AudioStatus writeToMic(AudioSelector selector, std::uint32_t value) const;
    std::shared_ptr<AudioHardware> hardware_;
};

}  // namespace vl
