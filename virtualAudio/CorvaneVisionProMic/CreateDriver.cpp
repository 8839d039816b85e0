// virtualAudio: the plug-in's one export. The driver lives for the whole process (the audio
// server never unloads it), so it is created at first use and never destroyed.
#include "MicDriver.h"

#include <cstring>

extern "C" __attribute__((visibility("default"))) void* SwiftVirtualMic_CreateDriver(
    void* /*allocator*/, const AudioPlugInUUID* requestedType) {
    static const AudioPlugInUUID pluginType = kAudioServerPlugInTypeUUIDBytes;
    if (!requestedType ||
        std::memcmp(requestedType->bytes, pluginType.bytes, sizeof(pluginType.bytes)) != 0)
        return nullptr;
    static auto* driver = new vl::mic::MicDriver();
    return driver->driverRef();
}
