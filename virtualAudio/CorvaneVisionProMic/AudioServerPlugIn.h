/* virtualAudio: the C interface between an audio server (the host) and a driver plug-in: the
 * object and property vocabulary, the driver's interface table in slot order, and the host's
 * interface the driver calls back. Both sides include this header; nothing else is shared. */
#ifndef VL_AUDIO_SERVER_PLUGIN_H
#define VL_AUDIO_SERVER_PLUGIN_H

#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t OSStatus;
typedef int32_t HRESULT;
typedef uint32_t ULONG;
typedef uint8_t Boolean;
typedef uint32_t AudioObjectID;
typedef uint32_t AudioObjectPropertySelector;
typedef uint32_t AudioObjectPropertyScope;
typedef uint32_t AudioObjectPropertyElement;

#define VL_FOURCC(a, b, c, d) \
    ((uint32_t)(a) << 24 | (uint32_t)(b) << 16 | (uint32_t)(c) << 8 | (uint32_t)(d))

/* A UUID as its 16 bytes, most significant first. */
typedef struct AudioPlugInUUID {
    uint8_t bytes[16];
} AudioPlugInUUID;

typedef struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
} AudioObjectPropertyAddress;

typedef struct AudioStreamBasicDescription {
    double mSampleRate;
    uint32_t mFormatID;
    uint32_t mFormatFlags;
    uint32_t mBytesPerPacket;
    uint32_t mFramesPerPacket;
    uint32_t mBytesPerFrame;
    uint32_t mChannelsPerFrame;
    uint32_t mBitsPerChannel;
    uint32_t mReserved;
} AudioStreamBasicDescription;

typedef struct AudioValueRange {
    double mMinimum;
    double mMaximum;
} AudioValueRange;

typedef struct AudioStreamRangedDescription {
    AudioStreamBasicDescription mFormat;
    AudioValueRange mSampleRateRange;
} AudioStreamRangedDescription;

typedef struct AudioServerPlugInCustomPropertyInfo {
    AudioObjectPropertySelector mSelector;
    uint32_t mPropertyDataType;
    uint32_t mQualifierDataType;
} AudioServerPlugInCustomPropertyInfo;

typedef struct AudioServerPlugInClientInfo {
    uint32_t mClientID;
    pid_t mProcessID;
    Boolean mIsNativeEndian;
    const char* mBundleID;
} AudioServerPlugInClientInfo;

typedef struct AudioServerPlugInIOCycleInfo {
    uint64_t mIOCycleCounter;
    uint32_t mNominalIOBufferFrameSize;
    double mInputTimeSampleTime;
    uint64_t mInputTimeHostTime;
    double mOutputTimeSampleTime;
    uint64_t mOutputTimeHostTime;
} AudioServerPlugInIOCycleInfo;

typedef struct AudioServerPlugInHostInterface AudioServerPlugInHostInterface;
typedef const AudioServerPlugInHostInterface* AudioServerPlugInHostRef;
typedef struct AudioServerPlugInDriverInterface AudioServerPlugInDriverInterface;
typedef AudioServerPlugInDriverInterface** AudioServerPlugInDriverRef;

/* What the driver may ask of the audio server. Property data of the custom properties are
 * property objects (PropertyObject.h), passed by reference. */
struct AudioServerPlugInHostInterface {
    OSStatus (*PropertiesChanged)(AudioServerPlugInHostRef host, AudioObjectID object,
                                  uint32_t count, const AudioObjectPropertyAddress* addresses);
    OSStatus (*CopyFromStorage)(AudioServerPlugInHostRef host, const char* key, void** outData);
    OSStatus (*WriteToStorage)(AudioServerPlugInHostRef host, const char* key, const void* data);
    OSStatus (*DeleteFromStorage)(AudioServerPlugInHostRef host, const char* key);
    OSStatus (*RequestDeviceConfigurationChange)(AudioServerPlugInHostRef host,
                                                 AudioObjectID device, uint64_t action,
                                                 void* changeInfo);
};

/* The driver's interface table, in slot order. */
struct AudioServerPlugInDriverInterface {
    void* _reserved;
    HRESULT(*QueryInterface)
    (void* driver, const AudioPlugInUUID* interfaceID, void** outInterface);
    ULONG (*AddRef)(void* driver);
    ULONG (*Release)(void* driver);
    OSStatus (*Initialize)(AudioServerPlugInDriverRef driver, AudioServerPlugInHostRef host);
    OSStatus (*CreateDevice)(AudioServerPlugInDriverRef driver, const void* description,
                             const AudioServerPlugInClientInfo* client, AudioObjectID* outDevice);
    OSStatus (*DestroyDevice)(AudioServerPlugInDriverRef driver, AudioObjectID device);
    OSStatus (*AddDeviceClient)(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                const AudioServerPlugInClientInfo* client);
    OSStatus (*RemoveDeviceClient)(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                   const AudioServerPlugInClientInfo* client);
    OSStatus (*PerformDeviceConfigurationChange)(AudioServerPlugInDriverRef driver,
                                                 AudioObjectID device, uint64_t action,
                                                 void* changeInfo);
    OSStatus (*AbortDeviceConfigurationChange)(AudioServerPlugInDriverRef driver,
                                               AudioObjectID device, uint64_t action,
                                               void* changeInfo);
    Boolean (*HasProperty)(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t client,
                           const AudioObjectPropertyAddress* address);
    OSStatus (*IsPropertySettable)(AudioServerPlugInDriverRef driver, AudioObjectID object,
                                   pid_t client, const AudioObjectPropertyAddress* address,
                                   Boolean* outIsSettable);
    OSStatus (*GetPropertyDataSize)(AudioServerPlugInDriverRef driver, AudioObjectID object,
                                    pid_t client, const AudioObjectPropertyAddress* address,
                                    uint32_t qualifierSize, const void* qualifier,
                                    uint32_t* outDataSize);
    OSStatus (*GetPropertyData)(AudioServerPlugInDriverRef driver, AudioObjectID object,
                                pid_t client, const AudioObjectPropertyAddress* address,
                                uint32_t qualifierSize, const void* qualifier, uint32_t dataSize,
                                uint32_t* outDataSize, void* outData);
    OSStatus (*SetPropertyData)(AudioServerPlugInDriverRef driver, AudioObjectID object,
                                pid_t client, const AudioObjectPropertyAddress* address,
                                uint32_t qualifierSize, const void* qualifier, uint32_t dataSize,
                                const void* data);
    OSStatus (*StartIO)(AudioServerPlugInDriverRef driver, AudioObjectID device, uint32_t clientID);
    OSStatus (*StopIO)(AudioServerPlugInDriverRef driver, AudioObjectID device, uint32_t clientID);
    OSStatus (*GetZeroTimeStamp)(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                 uint32_t clientID, double* outSampleTime, uint64_t* outHostTime,
                                 uint64_t* outSeed);
    OSStatus (*WillDoIOOperation)(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                  uint32_t clientID, uint32_t operation, Boolean* outWillDo,
                                  Boolean* outWillDoInPlace);
    OSStatus (*BeginIOOperation)(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                 uint32_t clientID, uint32_t operation, uint32_t bufferFrameSize,
                                 const AudioServerPlugInIOCycleInfo* cycle);
    OSStatus (*DoIOOperation)(AudioServerPlugInDriverRef driver, AudioObjectID device,
                              AudioObjectID stream, uint32_t clientID, uint32_t operation,
                              uint32_t bufferFrameSize, const AudioServerPlugInIOCycleInfo* cycle,
                              void* mainBuffer, void* secondaryBuffer);
    OSStatus (*EndIOOperation)(AudioServerPlugInDriverRef driver, AudioObjectID device,
                               uint32_t clientID, uint32_t operation, uint32_t bufferFrameSize,
                               const AudioServerPlugInIOCycleInfo* cycle);
};

/* The factory a plug-in exports: the driver reference for the plug-in type, else null. */
typedef void* (*AudioServerPlugInFactory)(void* allocator, const AudioPlugInUUID* requestedType);

/* "443ABAB8-E7B3-491A-B985-BEB9187030DB" */
#define kAudioServerPlugInTypeUUIDBytes                                                         \
    {                                                                                           \
        {                                                                                       \
            0x44, 0x3A, 0xBA, 0xB8, 0xE7, 0xB3, 0x49, 0x1A, 0xB9, 0x85, 0xBE, 0xB9, 0x18, 0x70, \
                0x30, 0xDB                                                                      \
        }                                                                                       \
    }
/* "EEA5773D-CC43-49F1-8E00-8F96E7D23B17" */
#define kAudioServerPlugInDriverInterfaceUUIDBytes                                              \
    {                                                                                           \
        {                                                                                       \
            0xEE, 0xA5, 0x77, 0x3D, 0xCC, 0x43, 0x49, 0xF1, 0x8E, 0x00, 0x8F, 0x96, 0xE7, 0xD2, \
                0x3B, 0x17                                                                      \
        }                                                                                       \
    }
/* "00000000-0000-0000-C000-000000000046" */
#define kIUnknownUUIDBytes                                       \
    {                                                            \
        { 0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46 } \
    }

enum {
    E_NOINTERFACE = (HRESULT)0x80000004,

    kAudioHardwareNoError = 0,
    kAudioHardwareBadObjectError = (OSStatus)VL_FOURCC('!', 'o', 'b', 'j'),
    kAudioHardwareUnknownPropertyError = (OSStatus)VL_FOURCC('w', 'h', 'o', '?'),
    kAudioHardwareBadPropertySizeError = (OSStatus)VL_FOURCC('!', 's', 'i', 'z'),
    kAudioHardwareUnsupportedOperationError = (OSStatus)VL_FOURCC('u', 'n', 'o', 'p'),
    kAudioHardwareIllegalOperationError = (OSStatus)VL_FOURCC('n', 'o', 'p', 'e'),
    kAudioDeviceUnsupportedFormatError = (OSStatus)VL_FOURCC('!', 'd', 'a', 't'),

    kAudioObjectUnknown = 0,
    kAudioObjectPlugInObject = 1,

    kAudioObjectPropertyScopeGlobal = VL_FOURCC('g', 'l', 'o', 'b'),
    kAudioObjectPropertyScopeInput = VL_FOURCC('i', 'n', 'p', 't'),
    kAudioObjectPropertyScopeOutput = VL_FOURCC('o', 'u', 't', 'p'),
    kAudioObjectPropertyElementMain = 0,

    kAudioServerPlugInIOOperationReadInput = VL_FOURCC('r', 'e', 'a', 'd'),
    kAudioServerPlugInCustomPropertyDataTypeCFPropertyList = VL_FOURCC('p', 'l', 's', 't'),
    kAudioServerPlugInCustomPropertyDataTypeNone = 0,

    kAudioFormatLinearPCM = VL_FOURCC('l', 'p', 'c', 'm'),
    kAudioFormatFlagsNativeFloatPacked = 9,
};

#ifdef __cplusplus
}
#endif

#endif
