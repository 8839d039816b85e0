// virtualAudio: the virtual microphone driver: one input-only device whose input is whatever PCM
// the server pushes through its 'mpcm' property, with the custom values the server stores and
// reads back, and 'mrun' announcing whether some recorder does I/O. A host reaches it only
// through its interface table (driverRef()); the plug-in's factory hands out one process-wide
// instance, tests make their own.
#pragma once

#include "AudioServerPlugIn.h"
#include "StereoPCMRingBuffer.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace vl::mic {

// The fixed audio objects and the custom selectors the server uses.
inline constexpr AudioObjectID kPlugInObjectID = 1;
inline constexpr AudioObjectID kDeviceObjectID = 2;
inline constexpr AudioObjectID kStreamObjectID = 3;
inline constexpr const char* kDeviceUID = "CorvaneVisionProMic_UID";
inline constexpr const char* kModelUID = "CorvaneVisionProMic_ModelUID";
inline constexpr const char* kDeviceName = "Corvane Vision Pro Microphone";
inline constexpr const char* kManufacturer = "Corvane LLC";
inline constexpr std::int64_t kRingCapacityFrames = 48000;
inline constexpr std::uint32_t kZeroTimeStampPeriod = 16384;

inline constexpr std::uint32_t kShowAudio = VL_FOURCC('s', 'h', 'a', 'u');
inline constexpr std::uint32_t kAudioPort = VL_FOURCC('p', 'o', 'r', 't');
inline constexpr std::uint32_t kWarm = VL_FOURCC('w', 'a', 'r', 'm');
inline constexpr std::uint32_t kCooldown = VL_FOURCC('c', 'l', 'd', 'w');
inline constexpr std::uint32_t kMicPCM = VL_FOURCC('m', 'p', 'c', 'm');
inline constexpr std::uint32_t kMicRunning = VL_FOURCC('m', 'r', 'u', 'n');

// The host's clock: ticks now, and the timebase that turns ticks into nanoseconds.
struct HostClock {
    std::function<std::uint64_t()> now;
    std::uint32_t numer = 1;
    std::uint32_t denom = 1;
    static HostClock monotonic();
};

class MicDriver {
  public:
    explicit MicDriver(HostClock clock = HostClock::monotonic());
    ~MicDriver();
    MicDriver(const MicDriver&) = delete;
    MicDriver& operator=(const MicDriver&) = delete;

    // What the factory and QueryInterface hand out: a pointer to the interface table pointer.
    AudioServerPlugInDriverRef driverRef() { return &ref_.table; }
    static MicDriver* from(const void* driverRef);

    HRESULT queryInterface(const AudioPlugInUUID* interfaceID, void** outInterface);
    OSStatus initialize(AudioServerPlugInHostRef host);
    OSStatus performDeviceConfigurationChange(AudioObjectID device, std::uint64_t action);
    bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) const;
    bool isPropertySettable(AudioObjectID object, const AudioObjectPropertyAddress& address) const;
    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 std::uint32_t* outSize) const;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             std::uint32_t qualifierSize, const void* qualifier,
                             std::uint32_t dataSize, std::uint32_t* outDataSize,
                             void* outData) const;
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             std::uint32_t dataSize, const void* data);
    OSStatus startIO(AudioObjectID device);
    OSStatus stopIO(AudioObjectID device);
    OSStatus getZeroTimeStamp(AudioObjectID device, double* sampleTime, std::uint64_t* hostTime,
                              std::uint64_t* seed) const;
    OSStatus willDoIOOperation(AudioObjectID device, std::uint32_t operation, Boolean* willDo,
                               Boolean* inPlace) const;
    OSStatus doIOOperation(AudioObjectID device, AudioObjectID stream, std::uint32_t operation,
                           std::uint32_t frames, void* mainBuffer);

    // Diagnostics, never reported.
    std::uint64_t pushedFrames() const { return dbgPushedFrames_; }
    std::uint64_t renderCycles() const { return dbgCycles_; }
    double hostTicksPerFrame() const;

  private:
    struct Ref {
        AudioServerPlugInDriverInterface* table;
        MicDriver* self;
    };

    void recomputeTicksPerFrame();  // under stateLock_
    OSStatus setCustomNumber(std::uint32_t selector, std::uint32_t dataSize, const void* data);
    OSStatus pushPCM(std::uint32_t dataSize, const void* data);
    OSStatus requestRate(double rate);
    void propertiesChanged(const AudioObjectPropertyAddress* addresses, std::uint32_t count);
    void announceRunning();

    Ref ref_;
    const HostClock clock_;
    std::atomic<AudioServerPlugInHostRef> host_{nullptr};

    mutable std::mutex stateLock_;  // the stored values and the rate
    double sampleRate_ = 48000.0;
    double hostTicksPerFrame_ = 0.0;
    std::uint32_t showAudio_ = 0;
    std::uint32_t warm_ = 0;
    std::uint32_t cooldown_ = 0;
    std::uint32_t audioPort_ = 0;

    mutable std::mutex ioLock_;  // the client count, the running flag and the anchor
    std::uint32_t ioRunningCount_ = 0;
    std::uint32_t micRunning_ = 0;
    std::uint64_t anchorHostTime_ = 0;

    StereoPCMRingBuffer ring_{kRingCapacityFrames};
    std::atomic<std::uint64_t> dbgPushedFrames_{0};
    std::atomic<std::uint64_t> dbgCycles_{0};

    // 'mrun' is announced from a thread of its own, never from the I/O path or under a lock.
    std::mutex announceLock_;
    std::condition_variable announceWake_;
    std::deque<int> announcements_;
    bool stopping_ = false;
    std::thread announcer_;
};

}  // namespace vl::mic
