// platform/audio/fake: an audio object model in memory. Devices hold property values by selector;
// an "output device" also behaves like the virtual output device (shau shows it, nchn sets its
// channel count and stream format, spcm hands out the PCM queued since the previous read).
#pragma once

#include "platform/audio/Interface.h"

#include <map>
#include <mutex>
#include <vector>

namespace vl {

class FakeAudioProvider : public AudioDeviceProvider {
  public:
    // A plain device with a UID and an output stream format.
    AudioObjectID addDevice(const std::string& uid,
                            AudioStreamDescription format = AudioStreamDescription::float32(48000,
                                                                                            2));
    // A device that follows shau / nchn writes and serves spcm, initially hidden.
    AudioObjectID addOutputDevice(
        const std::string& uid,
        AudioStreamDescription format = AudioStreamDescription::float32(48000, 2));
    void removeDevice(AudioObjectID device);

    // Sets a value as the device would (listeners are told).
    void setValue(AudioObjectID device, AudioSelector selector, AudioValue value);
    std::optional<AudioValue> value(AudioObjectID device, AudioSelector selector) const;
    // Reads (or writes) of the selector fail with the status from now on; noError clears it.
    void failGet(AudioObjectID device, AudioSelector selector, AudioStatus status);
    void failSet(AudioObjectID device, AudioSelector selector, AudioStatus status);
    // An output device that ignores channel count writes (a device that never settles).
    void ignoreChannelWrites(AudioObjectID device, bool ignore = true);
    // PCM for the next spcm read (appended to what is queued).
    void queuePCM(AudioObjectID device, ByteView pcm);
    // Every value written through setProperty, in order.
    std::vector<AudioValue> writes(AudioObjectID device, AudioSelector selector) const;
    std::size_t getCount(AudioObjectID device, AudioSelector selector) const;
    void setDefaultOutput(std::optional<AudioObjectID> device);
    std::optional<AudioObjectID> defaultOutput() const;
    std::size_t defaultOutputWrites() const;

    std::optional<AudioObjectID> deviceForUID(const std::string& uid) override;
    AudioGetResult getProperty(AudioObjectID device, const AudioPropertyAddress& address) override;
    AudioStatus setProperty(AudioObjectID device, const AudioPropertyAddress& address,
                            const AudioValue& value) override;
    std::optional<AudioObjectID> defaultOutputDevice() override;
    AudioStatus setDefaultOutputDevice(AudioObjectID device) override;
    AudioListenerToken addPropertyListener(AudioObjectID device,
                                           const AudioPropertyAddress& address,
                                           AudioPropertyListener listener) override;
    void removePropertyListener(AudioListenerToken token) override;

  private:
    struct Device {
        std::string uid;
        bool outputDevice = false;
        bool ignoreChannelWrites = false;
        std::map<AudioSelector, AudioValue> values;
        std::map<AudioSelector, AudioStatus> getFailures;
        std::map<AudioSelector, AudioStatus> setFailures;
        std::map<AudioSelector, std::vector<AudioValue>> writes;
        std::map<AudioSelector, std::size_t> gets;
        Bytes pcm;
    };
    struct Listener {
        AudioObjectID device;
        AudioSelector selector;
        AudioPropertyListener call;
    };
    void notify(AudioObjectID device, AudioSelector selector);

    mutable std::mutex mutex_;
    std::map<AudioObjectID, Device> devices_;
    AudioObjectID nextID_ = 2;
    std::optional<AudioObjectID> defaultOutput_;
    std::size_t defaultOutputWrites_ = 0;
    std::map<AudioListenerToken, Listener> listeners_;
    AudioListenerToken nextToken_ = 1;
};

}  // namespace vl
