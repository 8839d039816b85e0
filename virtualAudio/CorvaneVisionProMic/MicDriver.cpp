#include "MicDriver.h"

#include "PropertyObject.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

namespace vl::mic {

namespace {

constexpr std::uint32_t fourcc(const char (&s)[5]) {
    return VL_FOURCC(s[0], s[1], s[2], s[3]);
}

// Standard selectors.
constexpr std::uint32_t kBaseClass = fourcc("bcls");
constexpr std::uint32_t kClass = fourcc("clas");
constexpr std::uint32_t kOwner = fourcc("stdv");
constexpr std::uint32_t kOwnedObjects = fourcc("ownd");
constexpr std::uint32_t kDeviceList = fourcc("dev#");
constexpr std::uint32_t kManufacturerSel = fourcc("lmak");
constexpr std::uint32_t kResourceBundle = fourcc("rsrc");
constexpr std::uint32_t kTranslateUIDToDevice = fourcc("uidd");
constexpr std::uint32_t kName = fourcc("lnam");
constexpr std::uint32_t kDeviceUIDSel = fourcc("uid ");
constexpr std::uint32_t kModelUIDSel = fourcc("muid");
constexpr std::uint32_t kTransportType = fourcc("tran");
constexpr std::uint32_t kRelatedDevices = fourcc("akin");
constexpr std::uint32_t kClockDomain = fourcc("clkd");
constexpr std::uint32_t kIsAlive = fourcc("livn");
constexpr std::uint32_t kIsRunning = fourcc("goin");
constexpr std::uint32_t kIsRunningSomewhere = fourcc("gone");
constexpr std::uint32_t kCanBeDefault = fourcc("dflt");
constexpr std::uint32_t kCanBeDefaultSystem = fourcc("sflt");
constexpr std::uint32_t kLatency = fourcc("ltnc");
constexpr std::uint32_t kSafetyOffset = fourcc("saft");
constexpr std::uint32_t kStreams = fourcc("stm#");
constexpr std::uint32_t kControlList = fourcc("ctrl");
constexpr std::uint32_t kNominalSampleRate = fourcc("nsrt");
constexpr std::uint32_t kAvailableSampleRates = fourcc("nsr#");
constexpr std::uint32_t kIsHidden = fourcc("hidn");
constexpr std::uint32_t kPreferredStereo = fourcc("dch2");
constexpr std::uint32_t kZeroTimeStampPeriodSel = fourcc("ring");
constexpr std::uint32_t kCustomPropertyInfoList = fourcc("cust");
constexpr std::uint32_t kIsActive = fourcc("sact");
constexpr std::uint32_t kDirection = fourcc("sdir");
constexpr std::uint32_t kTerminalType = fourcc("term");
constexpr std::uint32_t kStartingChannel = fourcc("schn");
constexpr std::uint32_t kVirtualFormat = fourcc("sfmt");
constexpr std::uint32_t kPhysicalFormat = fourcc("pft ");
constexpr std::uint32_t kAvailableVirtualFormats = fourcc("sfma");
constexpr std::uint32_t kAvailablePhysicalFormats = fourcc("pfta");

constexpr std::uint32_t kObjectClass = fourcc("aobj");
constexpr std::uint32_t kPlugInClass = fourcc("aplg");
constexpr std::uint32_t kDeviceClass = fourcc("adev");
constexpr std::uint32_t kStreamClass = fourcc("astr");
constexpr std::uint32_t kTransportVirtual = fourcc("virt");
constexpr std::uint32_t kTerminalMicrophone = fourcc("micr");
constexpr double kRate = 48000.0;

constexpr std::uint32_t kCustomSelectors[] = {kShowAudio, kAudioPort, kWarm,
                                              kCooldown,  kMicPCM,    kMicRunning};

bool isCustom(std::uint32_t selector) {
    return std::find(std::begin(kCustomSelectors), std::end(kCustomSelectors), selector) !=
           std::end(kCustomSelectors);
}

constexpr std::uint32_t kPlugInSelectors[] = {
    kBaseClass,  kClass,           kOwner,          kOwnedObjects,
    kDeviceList, kManufacturerSel, kResourceBundle, kTranslateUIDToDevice};
constexpr std::uint32_t kDeviceSelectors[] = {kBaseClass,
                                              kClass,
                                              kOwner,
                                              kName,
                                              kManufacturerSel,
                                              kDeviceUIDSel,
                                              kModelUIDSel,
                                              kTransportType,
                                              kOwnedObjects,
                                              kRelatedDevices,
                                              kClockDomain,
                                              kIsAlive,
                                              kIsRunning,
                                              kIsRunningSomewhere,
                                              kCanBeDefault,
                                              kCanBeDefaultSystem,
                                              kLatency,
                                              kSafetyOffset,
                                              kStreams,
                                              kControlList,
                                              kNominalSampleRate,
                                              kAvailableSampleRates,
                                              kIsHidden,
                                              kPreferredStereo,
                                              kZeroTimeStampPeriodSel,
                                              kCustomPropertyInfoList};
constexpr std::uint32_t kStreamSelectors[] = {kBaseClass,
                                              kClass,
                                              kOwner,
                                              kIsActive,
                                              kDirection,
                                              kTerminalType,
                                              kStartingChannel,
                                              kLatency,
                                              kVirtualFormat,
                                              kPhysicalFormat,
                                              kAvailableVirtualFormats,
                                              kAvailablePhysicalFormats};

template <std::size_t N>
bool contains(const std::uint32_t (&list)[N], std::uint32_t selector) {
    return std::find(std::begin(list), std::end(list), selector) != std::end(list);
}

AudioStreamBasicDescription streamFormat() {
    AudioStreamBasicDescription f{};
    f.mSampleRate = kRate;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = kAudioFormatFlagsNativeFloatPacked;
    f.mBytesPerPacket = 8;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = 8;
    f.mChannelsPerFrame = 2;
    f.mBitsPerChannel = 32;
    return f;
}

// A fixed-size answer: '!siz' when the buffer is too small.
template <typename T>
OSStatus put(const T& value, std::uint32_t dataSize, std::uint32_t* outSize, void* outData) {
    if (dataSize < sizeof(T) || !outData) return kAudioHardwareBadPropertySizeError;
    std::memcpy(outData, &value, sizeof(T));
    if (outSize) *outSize = sizeof(T);
    return kAudioHardwareNoError;
}

// A list: truncated to the space given; the size is what was written.
template <typename T>
OSStatus putList(const T* items, std::size_t count, std::uint32_t dataSize, std::uint32_t* outSize,
                 void* outData) {
    const std::size_t n = std::min<std::size_t>(count, dataSize / sizeof(T));
    if (n && outData) std::memcpy(outData, items, n * sizeof(T));
    if (outSize) *outSize = static_cast<std::uint32_t>(n * sizeof(T));
    return kAudioHardwareNoError;
}

OSStatus putObject(PropertyObjectRef object, std::uint32_t dataSize, std::uint32_t* outSize,
                   void* outData) {
    if (dataSize < sizeof(PropertyObjectRef) || !outData) {
        PropertyObjectRelease(object);
        return kAudioHardwareBadPropertySizeError;
    }
    return put(object, dataSize, outSize, outData);
}

OSStatus putString(const char* text, std::uint32_t dataSize, std::uint32_t* outSize,
                   void* outData) {
    if (dataSize < sizeof(PropertyObjectRef)) return kAudioHardwareBadPropertySizeError;
    return putObject(PropertyStringCreate(text), dataSize, outSize, outData);
}

PropertyObjectRef objectAt(std::uint32_t dataSize, const void* data) {
    if (dataSize < sizeof(PropertyObjectRef) || !data) return nullptr;
    PropertyObjectRef object;
    std::memcpy(&object, data, sizeof(object));
    return object;
}

bool sameUUID(const AudioPlugInUUID& a, const AudioPlugInUUID& b) {
    return std::memcmp(a.bytes, b.bytes, sizeof(a.bytes)) == 0;
}

// The interface table: each entry finds its instance through the driver reference.
HRESULT tQueryInterface(void* driver, const AudioPlugInUUID* iid, void** out) {
    return MicDriver::from(driver)->queryInterface(iid, out);
}
ULONG tAddRef(void*) {
    return 1;
}
ULONG tRelease(void*) {
    return 1;
}
OSStatus tInitialize(AudioServerPlugInDriverRef d, AudioServerPlugInHostRef host) {
    return MicDriver::from(d)->initialize(host);
}
OSStatus tCreateDevice(AudioServerPlugInDriverRef, const void*, const AudioServerPlugInClientInfo*,
                       AudioObjectID*) {
    return kAudioHardwareUnsupportedOperationError;
}
OSStatus tDestroyDevice(AudioServerPlugInDriverRef, AudioObjectID) {
    return kAudioHardwareUnsupportedOperationError;
}
OSStatus tDeviceClient(AudioServerPlugInDriverRef, AudioObjectID,
                       const AudioServerPlugInClientInfo*) {
    return 0;
}
OSStatus tPerformChange(AudioServerPlugInDriverRef d, AudioObjectID device, std::uint64_t action,
                        void*) {
    return MicDriver::from(d)->performDeviceConfigurationChange(device, action);
}
OSStatus tAbortChange(AudioServerPlugInDriverRef, AudioObjectID, std::uint64_t, void*) {
    return 0;
}
Boolean tHasProperty(AudioServerPlugInDriverRef d, AudioObjectID object, pid_t,
                     const AudioObjectPropertyAddress* address) {
    return address && MicDriver::from(d)->hasProperty(object, *address);
}
OSStatus tIsPropertySettable(AudioServerPlugInDriverRef d, AudioObjectID object, pid_t,
                             const AudioObjectPropertyAddress* address, Boolean* out) {
    if (out) *out = address && MicDriver::from(d)->isPropertySettable(object, *address);
    return 0;
}
OSStatus tGetPropertyDataSize(AudioServerPlugInDriverRef d, AudioObjectID object, pid_t,
                              const AudioObjectPropertyAddress* address, std::uint32_t, const void*,
                              std::uint32_t* outSize) {
    if (!address) return kAudioHardwareUnknownPropertyError;
    return MicDriver::from(d)->getPropertyDataSize(object, *address, outSize);
}
OSStatus tGetPropertyData(AudioServerPlugInDriverRef d, AudioObjectID object, pid_t,
                          const AudioObjectPropertyAddress* address, std::uint32_t qualifierSize,
                          const void* qualifier, std::uint32_t dataSize, std::uint32_t* outSize,
                          void* outData) {
    if (!address) return kAudioHardwareUnknownPropertyError;
    return MicDriver::from(d)->getPropertyData(object, *address, qualifierSize, qualifier, dataSize,
                                               outSize, outData);
}
OSStatus tSetPropertyData(AudioServerPlugInDriverRef d, AudioObjectID object, pid_t,
                          const AudioObjectPropertyAddress* address, std::uint32_t, const void*,
                          std::uint32_t dataSize, const void* data) {
    if (!address) return kAudioHardwareUnknownPropertyError;
    return MicDriver::from(d)->setPropertyData(object, *address, dataSize, data);
}
OSStatus tStartIO(AudioServerPlugInDriverRef d, AudioObjectID device, std::uint32_t) {
    return MicDriver::from(d)->startIO(device);
}
OSStatus tStopIO(AudioServerPlugInDriverRef d, AudioObjectID device, std::uint32_t) {
    return MicDriver::from(d)->stopIO(device);
}
OSStatus tGetZeroTimeStamp(AudioServerPlugInDriverRef d, AudioObjectID device, std::uint32_t,
                           double* sampleTime, std::uint64_t* hostTime, std::uint64_t* seed) {
    return MicDriver::from(d)->getZeroTimeStamp(device, sampleTime, hostTime, seed);
}
OSStatus tWillDoIOOperation(AudioServerPlugInDriverRef d, AudioObjectID device, std::uint32_t,
                            std::uint32_t operation, Boolean* willDo, Boolean* inPlace) {
    return MicDriver::from(d)->willDoIOOperation(device, operation, willDo, inPlace);
}
OSStatus tIOBoundary(AudioServerPlugInDriverRef, AudioObjectID, std::uint32_t, std::uint32_t,
                     std::uint32_t, const AudioServerPlugInIOCycleInfo*) {
    return 0;
}
OSStatus tDoIOOperation(AudioServerPlugInDriverRef d, AudioObjectID device, AudioObjectID stream,
                        std::uint32_t, std::uint32_t operation, std::uint32_t frames,
                        const AudioServerPlugInIOCycleInfo*, void* mainBuffer, void*) {
    return MicDriver::from(d)->doIOOperation(device, stream, operation, frames, mainBuffer);
}

AudioServerPlugInDriverInterface interfaceTable = {
    nullptr,
    tQueryInterface,
    tAddRef,
    tRelease,
    tInitialize,
    tCreateDevice,
    tDestroyDevice,
    tDeviceClient,
    tDeviceClient,
    tPerformChange,
    tAbortChange,
    tHasProperty,
    tIsPropertySettable,
    tGetPropertyDataSize,
    tGetPropertyData,
    tSetPropertyData,
    tStartIO,
    tStopIO,
    tGetZeroTimeStamp,
    tWillDoIOOperation,
    tIOBoundary,
    tDoIOOperation,
    tIOBoundary,
};

}  // namespace

HostClock HostClock::monotonic() {
    HostClock clock;
    clock.now = [] {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return std::uint64_t(ts.tv_sec) * 1000000000ull + std::uint64_t(ts.tv_nsec);
    };
    return clock;
}

MicDriver::MicDriver(HostClock clock) : ref_{&interfaceTable, this}, clock_(std::move(clock)) {
    std::lock_guard guard(stateLock_);
    recomputeTicksPerFrame();
}

MicDriver::~MicDriver() {
    {
        std::lock_guard guard(announceLock_);
        stopping_ = true;
    }
    announceWake_.notify_all();
    if (announcer_.joinable()) announcer_.join();
}

MicDriver* MicDriver::from(const void* driverRef) {
    // The reference points at the first member of Ref, so it is the Ref.
    return static_cast<const Ref*>(driverRef)->self;
}

void MicDriver::recomputeTicksPerFrame() {
    const double perSecond = double(clock_.denom) / double(clock_.numer) * 1e9;
    hostTicksPerFrame_ = perSecond / sampleRate_;
}

double MicDriver::hostTicksPerFrame() const {
    std::lock_guard guard(stateLock_);
    return hostTicksPerFrame_;
}

HRESULT MicDriver::queryInterface(const AudioPlugInUUID* interfaceID, void** outInterface) {
    static const AudioPlugInUUID unknown = kIUnknownUUIDBytes;
    static const AudioPlugInUUID driverInterface = kAudioServerPlugInDriverInterfaceUUIDBytes;
    if (!outInterface || !interfaceID) return E_NOINTERFACE;
    if (!sameUUID(*interfaceID, unknown) && !sameUUID(*interfaceID, driverInterface))
        return E_NOINTERFACE;
    *outInterface = driverRef();
    return 0;
}

OSStatus MicDriver::initialize(AudioServerPlugInHostRef host) {
    host_ = host;
    std::lock_guard guard(stateLock_);
    recomputeTicksPerFrame();
    return 0;
}

OSStatus MicDriver::performDeviceConfigurationChange(AudioObjectID device, std::uint64_t action) {
    if (device != kDeviceObjectID) return kAudioHardwareBadObjectError;
    if (action != 48000) return kAudioHardwareBadPropertySizeError;
    std::lock_guard guard(stateLock_);
    sampleRate_ = kRate;
    recomputeTicksPerFrame();
    return 0;
}

bool MicDriver::hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& a) const {
    switch (object) {
        case kPlugInObjectID:
            return contains(kPlugInSelectors, a.mSelector);
        case kDeviceObjectID:
            return contains(kDeviceSelectors, a.mSelector) || isCustom(a.mSelector);
        case kStreamObjectID:
            return contains(kStreamSelectors, a.mSelector);
        default:
            return false;
    }
}

bool MicDriver::isPropertySettable(AudioObjectID object,
                                   const AudioObjectPropertyAddress& a) const {
    switch (object) {
        case kDeviceObjectID:
            return a.mSelector == kShowAudio || a.mSelector == kAudioPort || a.mSelector == kWarm ||
                   a.mSelector == kCooldown || a.mSelector == kMicPCM ||
                   a.mSelector == kNominalSampleRate;
        case kStreamObjectID:
            return a.mSelector == kVirtualFormat || a.mSelector == kPhysicalFormat;
        default:
            return false;
    }
}

OSStatus MicDriver::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& a,
                                        std::uint32_t* outSize) const {
    if (object != kPlugInObjectID && object != kDeviceObjectID && object != kStreamObjectID)
        return kAudioHardwareBadObjectError;
    if (!hasProperty(object, a)) return kAudioHardwareUnknownPropertyError;
    std::uint32_t size = 4;
    const std::uint32_t s = a.mSelector;
    if (s == kManufacturerSel || s == kResourceBundle || s == kName || s == kDeviceUIDSel ||
        s == kModelUIDSel || s == kNominalSampleRate || isCustom(s))
        size = 8;
    else if (s == kAvailableSampleRates)
        size = sizeof(AudioValueRange);
    else if (s == kCustomPropertyInfoList)
        size = 6 * sizeof(AudioServerPlugInCustomPropertyInfo);
    else if (s == kPreferredStereo)
        size = 8;
    else if (s == kControlList)
        size = 0;
    else if (s == kStreams)
        size = a.mScope == kAudioObjectPropertyScopeOutput ? 0 : 4;
    else if (s == kVirtualFormat || s == kPhysicalFormat)
        size = sizeof(AudioStreamBasicDescription);
    else if (s == kAvailableVirtualFormats || s == kAvailablePhysicalFormats)
        size = sizeof(AudioStreamRangedDescription);
    if (outSize) *outSize = size;
    return 0;
}

OSStatus MicDriver::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& a,
                                    std::uint32_t qualifierSize, const void* qualifier,
                                    std::uint32_t dataSize, std::uint32_t* outSize,
                                    void* outData) const {
    const std::uint32_t s = a.mSelector;
    const std::uint32_t one = 1;
    switch (object) {
        case kPlugInObjectID: {
            const AudioObjectID device = kDeviceObjectID;
            if (s == kBaseClass) return put(kObjectClass, dataSize, outSize, outData);
            if (s == kClass) return put(kPlugInClass, dataSize, outSize, outData);
            if (s == kOwner) return put(AudioObjectID(0), dataSize, outSize, outData);
            if (s == kOwnedObjects || s == kDeviceList)
                return putList(&device, 1, dataSize, outSize, outData);
            if (s == kManufacturerSel) return putString(kManufacturer, dataSize, outSize, outData);
            if (s == kResourceBundle) return putString("", dataSize, outSize, outData);
            if (s == kTranslateUIDToDevice) {
                PropertyObjectRef uid = objectAt(qualifierSize, qualifier);
                const AudioObjectID found = PropertyStringEquals(uid, kDeviceUID)
                                                ? kDeviceObjectID
                                                : AudioObjectID(kAudioObjectUnknown);
                return put(found, dataSize, outSize, outData);
            }
            return kAudioHardwareUnknownPropertyError;
        }
        case kDeviceObjectID: {
            if (s == kBaseClass) return put(kObjectClass, dataSize, outSize, outData);
            if (s == kClass) return put(kDeviceClass, dataSize, outSize, outData);
            if (s == kOwner) return put(kPlugInObjectID, dataSize, outSize, outData);
            if (s == kName) return putString(kDeviceName, dataSize, outSize, outData);
            if (s == kManufacturerSel) return putString(kManufacturer, dataSize, outSize, outData);
            if (s == kDeviceUIDSel) return putString(kDeviceUID, dataSize, outSize, outData);
            if (s == kModelUIDSel) return putString(kModelUID, dataSize, outSize, outData);
            if (s == kTransportType) return put(kTransportVirtual, dataSize, outSize, outData);
            if (s == kOwnedObjects || s == kStreams) {
                const AudioObjectID stream = kStreamObjectID;
                const bool none = s == kStreams && a.mScope == kAudioObjectPropertyScopeOutput;
                return putList(&stream, none ? 0 : 1, dataSize, outSize, outData);
            }
            if (s == kRelatedDevices) {
                const AudioObjectID device = kDeviceObjectID;
                return putList(&device, 1, dataSize, outSize, outData);
            }
            if (s == kClockDomain || s == kCanBeDefaultSystem || s == kLatency ||
                s == kSafetyOffset)
                return put(std::uint32_t(0), dataSize, outSize, outData);
            if (s == kIsAlive) return put(one, dataSize, outSize, outData);
            if (s == kIsRunning || s == kIsRunningSomewhere) {
                std::uint32_t running;
                {
                    std::lock_guard guard(ioLock_);
                    running = ioRunningCount_ > 0 ? 1 : 0;
                }
                return put(running, dataSize, outSize, outData);
            }
            if (s == kCanBeDefault)
                return put(std::uint32_t(a.mScope == kAudioObjectPropertyScopeOutput ? 0 : 1),
                           dataSize, outSize, outData);
            if (s == kControlList)
                return putList<AudioObjectID>(nullptr, 0, dataSize, outSize, outData);
            if (s == kNominalSampleRate) {
                std::lock_guard guard(stateLock_);
                return put(sampleRate_, dataSize, outSize, outData);
            }
            if (s == kAvailableSampleRates) {
                const AudioValueRange range{kRate, kRate};
                return putList(&range, 1, dataSize, outSize, outData);
            }
            if (s == kIsHidden) {
                std::lock_guard guard(stateLock_);
                return put(std::uint32_t(showAudio_ == 0 ? 1 : 0), dataSize, outSize, outData);
            }
            if (s == kPreferredStereo) {
                const std::uint32_t channels[] = {1, 2};
                return putList(channels, 2, dataSize, outSize, outData);
            }
            if (s == kZeroTimeStampPeriodSel)
                return put(kZeroTimeStampPeriod, dataSize, outSize, outData);
            if (s == kCustomPropertyInfoList) {
                AudioServerPlugInCustomPropertyInfo infos[6];
                for (int i = 0; i < 6; ++i)
                    infos[i] = {kCustomSelectors[i],
                                kAudioServerPlugInCustomPropertyDataTypeCFPropertyList,
                                kAudioServerPlugInCustomPropertyDataTypeNone};
                return putList(infos, 6, dataSize, outSize, outData);
            }
            if (isCustom(s)) {
                if (dataSize < sizeof(PropertyObjectRef)) return kAudioHardwareBadPropertySizeError;
                if (s == kMicPCM)
                    return putObject(PropertyDataCreate(nullptr, 0), dataSize, outSize, outData);
                std::int64_t value;
                if (s == kMicRunning) {
                    std::lock_guard guard(ioLock_);
                    value = micRunning_;
                } else {
                    std::lock_guard guard(stateLock_);
                    value = s == kShowAudio   ? showAudio_
                            : s == kAudioPort ? audioPort_
                            : s == kWarm      ? warm_
                                              : cooldown_;
                }
                return putObject(PropertyNumberCreate(value), dataSize, outSize, outData);
            }
            return kAudioHardwareUnknownPropertyError;
        }
        case kStreamObjectID: {
            if (s == kBaseClass) return put(kObjectClass, dataSize, outSize, outData);
            if (s == kClass) return put(kStreamClass, dataSize, outSize, outData);
            if (s == kOwner) return put(kDeviceObjectID, dataSize, outSize, outData);
            if (s == kIsActive || s == kDirection || s == kStartingChannel)
                return put(one, dataSize, outSize, outData);
            if (s == kTerminalType) return put(kTerminalMicrophone, dataSize, outSize, outData);
            if (s == kLatency) return put(std::uint32_t(0), dataSize, outSize, outData);
            if (s == kVirtualFormat || s == kPhysicalFormat)
                return put(streamFormat(), dataSize, outSize, outData);
            if (s == kAvailableVirtualFormats || s == kAvailablePhysicalFormats) {
                const AudioStreamRangedDescription ranged{streamFormat(), {kRate, kRate}};
                return putList(&ranged, 1, dataSize, outSize, outData);
            }
            return kAudioHardwareUnknownPropertyError;
        }
        default:
            return kAudioHardwareBadObjectError;
    }
}

OSStatus MicDriver::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& a,
                                    std::uint32_t dataSize, const void* data) {
    const std::uint32_t s = a.mSelector;
    if (object == kDeviceObjectID) {
        if (s == kShowAudio || s == kAudioPort || s == kWarm || s == kCooldown)
            return setCustomNumber(s, dataSize, data);
        if (s == kMicPCM) return pushPCM(dataSize, data);
        if (s == kNominalSampleRate) {
            if (dataSize < sizeof(double) || !data) return kAudioHardwareBadPropertySizeError;
            double rate;
            std::memcpy(&rate, data, sizeof(rate));
            return requestRate(rate);
        }
    } else if (object == kStreamObjectID) {
        if (s == kVirtualFormat || s == kPhysicalFormat) {
            if (dataSize < sizeof(AudioStreamBasicDescription) || !data)
                return kAudioHardwareBadPropertySizeError;
            AudioStreamBasicDescription format;
            std::memcpy(&format, data, sizeof(format));
            if (format.mFormatID != kAudioFormatLinearPCM || format.mChannelsPerFrame != 2 ||
                format.mBitsPerChannel != 32)
                return kAudioDeviceUnsupportedFormatError;
            return requestRate(format.mSampleRate);
        }
    } else if (object != kPlugInObjectID) {
        return kAudioHardwareBadObjectError;
    }
    return hasProperty(object, a) ? kAudioHardwareIllegalOperationError
                                  : kAudioHardwareUnknownPropertyError;
}

OSStatus MicDriver::setCustomNumber(std::uint32_t selector, std::uint32_t dataSize,
                                    const void* data) {
    std::int32_t value;
    if (!PropertyNumberGetInt32(objectAt(dataSize, data), &value))
        return kAudioHardwareBadPropertySizeError;
    bool changed = true;
    {
        std::lock_guard guard(stateLock_);
        const auto stored = static_cast<std::uint32_t>(value);
        if (selector == kShowAudio) {
            const std::uint32_t shown = value != 0 ? 1 : 0;
            changed = showAudio_ != shown;
            showAudio_ = shown;
        } else if (selector == kAudioPort) {
            changed = audioPort_ != stored;
            audioPort_ = stored;
        } else if (selector == kWarm) {
            warm_ = stored;
        } else {
            cooldown_ = stored;
        }
    }
    if (!changed) return 0;
    if (selector == kShowAudio) {
        const AudioObjectPropertyAddress both[] = {
            {kShowAudio, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain},
            {kIsHidden, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain}};
        propertiesChanged(both, 2);
    } else {
        const AudioObjectPropertyAddress one{selector, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
        propertiesChanged(&one, 1);
    }
    return 0;
}

OSStatus MicDriver::pushPCM(std::uint32_t dataSize, const void* data) {
    PropertyObjectRef object = objectAt(dataSize, data);
    if (!object || object->type != kPropertyObjectData) return kAudioHardwareBadPropertySizeError;
    const std::int64_t frames = static_cast<std::int64_t>(object->length / 8);
    if (frames > 0) {
        // The object's bytes are only byte aligned; the ring copies them as floats.
        if (reinterpret_cast<std::uintptr_t>(object->bytes) % alignof(float) == 0) {
            ring_.writeInterleaved(reinterpret_cast<const float*>(object->bytes), frames);
        } else {
            std::vector<float> aligned(static_cast<std::size_t>(frames) * 2);
            std::memcpy(aligned.data(), object->bytes, aligned.size() * sizeof(float));
            ring_.writeInterleaved(aligned.data(), frames);
        }
        dbgPushedFrames_ += static_cast<std::uint64_t>(frames);
    }
    return 0;
}

OSStatus MicDriver::requestRate(double rate) {
    if (rate != kRate) return kAudioDeviceUnsupportedFormatError;
    {
        std::lock_guard guard(stateLock_);
        if (sampleRate_ == rate) return 0;
    }
    if (auto host = host_.load(); host && host->RequestDeviceConfigurationChange)
        return host->RequestDeviceConfigurationChange(host, kDeviceObjectID, 48000, nullptr);
    return 0;
}

void MicDriver::propertiesChanged(const AudioObjectPropertyAddress* addresses,
                                  std::uint32_t count) {
    if (auto host = host_.load(); host && host->PropertiesChanged)
        host->PropertiesChanged(host, kDeviceObjectID, count, addresses);
}

void MicDriver::announceRunning() {
    if (!host_.load()) return;
    std::lock_guard guard(announceLock_);
    if (!announcer_.joinable()) {
        announcer_ = std::thread([this] {
            std::unique_lock lock(announceLock_);
            for (;;) {
                announceWake_.wait(lock, [this] { return stopping_ || !announcements_.empty(); });
                if (announcements_.empty()) return;
                announcements_.pop_front();
                lock.unlock();
                const AudioObjectPropertyAddress mrun{kMicRunning, kAudioObjectPropertyScopeGlobal,
                                                      kAudioObjectPropertyElementMain};
                propertiesChanged(&mrun, 1);
                lock.lock();
            }
        });
    }
    announcements_.push_back(1);
    announceWake_.notify_one();
}

OSStatus MicDriver::startIO(AudioObjectID device) {
    if (device != kDeviceObjectID) return kAudioHardwareBadObjectError;
    bool first;
    {
        std::lock_guard guard(ioLock_);
        first = ioRunningCount_ == 0;
        if (first) {
            anchorHostTime_ = clock_.now();
            micRunning_ = 1;
            ring_.clear();
        }
        ++ioRunningCount_;
    }
    if (first) announceRunning();
    return 0;
}

OSStatus MicDriver::stopIO(AudioObjectID device) {
    if (device != kDeviceObjectID) return kAudioHardwareBadObjectError;
    bool last = false;
    {
        std::lock_guard guard(ioLock_);
        if (ioRunningCount_ > 0) {
            last = --ioRunningCount_ == 0;
            if (last) micRunning_ = 0;
        }
    }
    if (last) announceRunning();
    return 0;
}

OSStatus MicDriver::getZeroTimeStamp(AudioObjectID device, double* sampleTime,
                                     std::uint64_t* hostTime, std::uint64_t* seed) const {
    if (device != kDeviceObjectID) return kAudioHardwareBadObjectError;
    const double ticksPerPeriod = hostTicksPerFrame() * kZeroTimeStampPeriod;
    std::lock_guard guard(ioLock_);
    const std::uint64_t now = clock_.now();
    const double elapsed = now > anchorHostTime_ ? double(now - anchorHostTime_) : 0.0;
    const double cycles = std::floor(elapsed / ticksPerPeriod);
    if (sampleTime) *sampleTime = cycles * kZeroTimeStampPeriod;
    if (hostTime) *hostTime = anchorHostTime_ + std::uint64_t(cycles * ticksPerPeriod);
    if (seed) *seed = 1;
    return 0;
}

OSStatus MicDriver::willDoIOOperation(AudioObjectID device, std::uint32_t operation,
                                      Boolean* willDo, Boolean* inPlace) const {
    if (device != kDeviceObjectID) return kAudioHardwareBadObjectError;
    if (willDo) *willDo = operation == kAudioServerPlugInIOOperationReadInput;
    if (inPlace) *inPlace = 1;
    return 0;
}

OSStatus MicDriver::doIOOperation(AudioObjectID device, AudioObjectID stream,
                                  std::uint32_t operation, std::uint32_t frames, void* mainBuffer) {
    if (device != kDeviceObjectID) return kAudioHardwareBadObjectError;
    if (operation == kAudioServerPlugInIOOperationReadInput && stream == kStreamObjectID &&
        mainBuffer) {
        ++dbgCycles_;
        ring_.read(static_cast<float*>(mainBuffer), frames);
    }
    return 0;
}

}  // namespace vl::mic
