// platform/audio: audio objects addressed by id and property, in the vocabulary of the callers —
// devices found by UID, custom properties by four-character selector (get, set, listen), the
// default output device and a device's stream format. Devices come from providers (the sound
// server's objects, the virtual microphone's host); AudioObjectSystem merges them behind one
// AudioHardware.
#pragma once

#include "base/Bytes.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>

namespace vl {

// 0 is "no object"; 1 is the system object (default output, UID translation).
using AudioObjectID = std::uint32_t;
inline constexpr AudioObjectID audioObjectUnknown = 0;
inline constexpr AudioObjectID audioSystemObject = 1;

using AudioSelector = std::uint32_t;

// Four letters to a code, the first letter in the most significant byte.
constexpr AudioSelector fourCC(const char (&code)[5]) {
    return (AudioSelector(std::uint8_t(code[0])) << 24) |
           (AudioSelector(std::uint8_t(code[1])) << 16) |
           (AudioSelector(std::uint8_t(code[2])) << 8) | AudioSelector(std::uint8_t(code[3]));
}

namespace audio {
// Scopes.
inline constexpr AudioSelector scopeGlobal = fourCC("glob");
inline constexpr AudioSelector scopeOutput = fourCC("outp");
inline constexpr AudioSelector scopeInput = fourCC("inpt");

// Properties of the system object.
inline constexpr AudioSelector translateUIDToDevice = fourCC("uidd");
inline constexpr AudioSelector defaultOutputDevice = fourCC("dOut");
// Properties of every device.
inline constexpr AudioSelector deviceUID = fourCC("uid ");
inline constexpr AudioSelector deviceName = fourCC("lnam");
inline constexpr AudioSelector streamFormat = fourCC("sfmt");

// Custom properties of the virtual output device.
inline constexpr AudioSelector showAudio = fourCC("shau");
inline constexpr AudioSelector setChannels = fourCC("nchn");
inline constexpr AudioSelector speakerPCM = fourCC("spcm");
// Custom properties of the virtual microphone.
inline constexpr AudioSelector audioPort = fourCC("port");
inline constexpr AudioSelector warm = fourCC("warm");
inline constexpr AudioSelector cooldown = fourCC("cldw");
inline constexpr AudioSelector micPCM = fourCC("mpcm");
inline constexpr AudioSelector micRunning = fourCC("mrun");

inline constexpr char outputDeviceUID[] = "CorvaneAudioDevice_UID";
inline constexpr char microphoneUID[] = "CorvaneVisionProMic_UID";
}  // namespace audio

struct AudioPropertyAddress {
    AudioSelector selector = 0;
    AudioSelector scope = audio::scopeGlobal;
    std::uint32_t element = 0;
    bool operator==(const AudioPropertyAddress&) const = default;
};

// Status codes, reported and never thrown. The non-zero ones read as four characters.
using AudioStatus = std::int32_t;
namespace audiostatus {
inline constexpr AudioStatus noError = 0;
inline constexpr AudioStatus notRunning = std::int32_t(fourCC("stop"));   // no sound server
inline constexpr AudioStatus unspecified = std::int32_t(fourCC("what"));  // the server refused
inline constexpr AudioStatus unknownProperty = std::int32_t(fourCC("who?"));
inline constexpr AudioStatus badPropertySize = std::int32_t(fourCC("!siz"));
inline constexpr AudioStatus illegalOperation = std::int32_t(fourCC("nope"));
inline constexpr AudioStatus badObject = std::int32_t(fourCC("!obj"));
inline constexpr AudioStatus badDevice = std::int32_t(fourCC("!dev"));
inline constexpr AudioStatus unsupportedOperation = std::int32_t(fourCC("unop"));
}  // namespace audiostatus

// Linear PCM formats; the field names follow the stream description the callers read.
inline constexpr std::uint32_t audioFormatLinearPCM = fourCC("lpcm");
inline constexpr std::uint32_t audioFormatFlagIsFloat = 1u << 0;
inline constexpr std::uint32_t audioFormatFlagIsBigEndian = 1u << 1;
inline constexpr std::uint32_t audioFormatFlagIsSignedInteger = 1u << 2;
inline constexpr std::uint32_t audioFormatFlagIsPacked = 1u << 3;
inline constexpr std::uint32_t audioFormatFlagIsNonInterleaved = 1u << 5;

struct AudioStreamDescription {
    double sampleRate = 0;
    std::uint32_t formatID = audioFormatLinearPCM;
    std::uint32_t formatFlags = 0;
    std::uint32_t bytesPerPacket = 0;
    std::uint32_t framesPerPacket = 0;
    std::uint32_t bytesPerFrame = 0;
    std::uint32_t channelsPerFrame = 0;
    std::uint32_t bitsPerChannel = 0;
    bool operator==(const AudioStreamDescription&) const = default;

    // Packed interleaved 32-bit float.
    static AudioStreamDescription float32(double rate, std::uint32_t channels) {
        return {rate,
                audioFormatLinearPCM,
                audioFormatFlagIsFloat | audioFormatFlagIsPacked,
                4 * channels,
                1,
                4 * channels,
                channels,
                32};
    }
};

// A property's value: a number, a block of bytes (PCM, UIDs as UTF-8), or a stream format.
using AudioValue = std::variant<std::uint32_t, Bytes, AudioStreamDescription>;

struct AudioGetResult {
    AudioStatus status = audiostatus::noError;
    std::optional<AudioValue> value;  // present exactly when status is noError
};

using AudioListenerToken = std::uint64_t;
using AudioPropertyListener = std::function<void()>;

// One source of audio objects. Ids are the provider's own, in 2 ..< 2^24 (AudioObjectSystem
// gives each provider its own range of object ids). A provider that has no say over the default
// output answers none / unsupportedOperation there. Calls may block for a sound server round trip;
// listeners are called on a thread of the provider's choosing, never under its locks.
class AudioDeviceProvider {
  public:
    virtual ~AudioDeviceProvider() = default;
    virtual std::optional<AudioObjectID> deviceForUID(const std::string& uid) = 0;
    virtual AudioGetResult getProperty(AudioObjectID device,
                                       const AudioPropertyAddress& address) = 0;
    virtual AudioStatus setProperty(AudioObjectID device, const AudioPropertyAddress& address,
                                    const AudioValue& value) = 0;
    virtual std::optional<AudioObjectID> defaultOutputDevice() { return std::nullopt; }
    virtual AudioStatus setDefaultOutputDevice(AudioObjectID) {
        return audiostatus::unsupportedOperation;
    }
    // Called after the property may have changed (a provider may call more often than it
    // changes); 0 when listening is not supported for it.
    virtual AudioListenerToken addPropertyListener(AudioObjectID device,
                                                   const AudioPropertyAddress& address,
                                                   AudioPropertyListener listener) = 0;
    virtual void removePropertyListener(AudioListenerToken token) = 0;
};

// What the system code calls: one object space over every provider. The system object
// (audioSystemObject) answers translateUIDToDevice (value: the UID as bytes, given in
// `qualifier`) and defaultOutputDevice (get and set).
class AudioHardware {
  public:
    virtual ~AudioHardware() = default;
    virtual AudioGetResult getProperty(AudioObjectID object, const AudioPropertyAddress& address,
                                       const std::string& qualifier = {}) = 0;
    virtual AudioStatus setProperty(AudioObjectID object, const AudioPropertyAddress& address,
                                    const AudioValue& value) = 0;
    virtual AudioListenerToken addPropertyListener(AudioObjectID object,
                                                   const AudioPropertyAddress& address,
                                                   AudioPropertyListener listener) = 0;
    virtual void removePropertyListener(AudioListenerToken token) = 0;
};

}  // namespace vl
