// Capture: the virtual microphone as the server reaches it through the audio object space —
// found by its UID, its custom values read and written. The microphone relay and the dropper
// use these; each call is a round trip to the device's host.
#pragma once

#include "platform/audio/Interface.h"

#include <cstdint>
#include <optional>
#include <string>

namespace vl::MicAudio {

inline constexpr AudioSelector isRunningSomewhere = fourCC("gone");

// The device for the UID, or none (logged with the status).
std::optional<AudioObjectID> findDevice(AudioHardware& audio,
                                        const std::string& uid = audio::microphoneUID);
// A custom number of the device; none when it cannot be read or is not a number.
std::optional<std::uint32_t> getUInt32(AudioHardware& audio, AudioObjectID device,
                                       AudioSelector selector);
AudioStatus setUInt32(AudioHardware& audio, AudioObjectID device, AudioSelector selector,
                      std::uint32_t value);

// The microphone's port, warm and cooldown values: the status of the write, or 2 when the device
// is not found.
AudioStatus setMicPort(AudioHardware& audio, int port);
AudioStatus warmupMic(AudioHardware& audio);
AudioStatus cooldownMic(AudioHardware& audio);

// "'abcd' (n)" when the four bytes are printable, else the number.
std::string statusString(AudioStatus status);

}  // namespace vl::MicAudio
