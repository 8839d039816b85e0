#include "DriverHost.h"

#include "virtualAudio/CorvaneVisionProMic/AudioServerPlugIn.h"
#include "virtualAudio/CorvaneVisionProMic/PropertyObject.h"

#include <dlfcn.h>

#include <cstring>

namespace vl::michost {

namespace {

constexpr std::uint32_t kDevice = 2;
constexpr std::uint32_t kPlugIn = 1;
constexpr std::uint32_t kStream = 3;

bool isCustom(std::uint32_t selector) {
    for (const char* s : {"shau", "port", "warm", "cldw", "mpcm", "mrun"})
        if (selector == VL_FOURCC(s[0], s[1], s[2], s[3])) return true;
    return false;
}

AudioObjectPropertyAddress global(std::uint32_t selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

}  // namespace

// The host interface handed to the driver, with the way back to this object.
struct DriverHost::HostSlot {
    AudioServerPlugInHostInterface iface;
    DriverHost* self;
};

std::unique_ptr<DriverHost> DriverHost::load(const std::string& path, ChangeHandler onChange,
                                             std::string* error) {
    std::unique_ptr<DriverHost> host(new DriverHost());
    host->onChange_ = std::move(onChange);
    host->library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!host->library_) {
        *error = std::string("cannot load the driver: ") + dlerror();
        return nullptr;
    }
    auto factory = reinterpret_cast<AudioServerPlugInFactory>(
        dlsym(host->library_, "SwiftVirtualMic_CreateDriver"));
    if (!factory) {
        *error = "the driver has no factory";
        return nullptr;
    }
    const AudioPlugInUUID pluginType = kAudioServerPlugInTypeUUIDBytes;
    auto* unknown = static_cast<AudioServerPlugInDriverInterface**>(factory(nullptr, &pluginType));
    if (!unknown) {
        *error = "the driver's factory refused the plug-in type";
        return nullptr;
    }
    const AudioPlugInUUID driverInterface = kAudioServerPlugInDriverInterfaceUUIDBytes;
    void* driver = nullptr;
    if ((*unknown)->QueryInterface(unknown, &driverInterface, &driver) != 0 || !driver) {
        *error = "the driver does not offer the driver interface";
        return nullptr;
    }
    host->driver_ = static_cast<AudioServerPlugInDriverInterface**>(driver);
    host->slot_ = std::make_unique<HostSlot>();
    host->slot_->iface = {};
    host->slot_->iface.PropertiesChanged = [](AudioServerPlugInHostRef ref, AudioObjectID object,
                                              std::uint32_t count,
                                              const AudioObjectPropertyAddress* addresses) {
        return OSStatus(DriverHost::changed(ref, object, count, addresses));
    };
    host->slot_->iface.RequestDeviceConfigurationChange =
        [](AudioServerPlugInHostRef ref, AudioObjectID device, std::uint64_t action, void* info) {
            // No I/O is paused here, so the change can be performed at once.
            auto* self = reinterpret_cast<const HostSlot*>(ref)->self;
            return (*self->driver_)
                ->PerformDeviceConfigurationChange(self->driver_, device, action, info);
        };
    host->slot_->self = host.get();
    if ((*host->driver_)->Initialize(host->driver_, &host->slot_->iface) != 0) {
        *error = "the driver did not initialise";
        return nullptr;
    }
    return host;
}

DriverHost::~DriverHost() {
    // The driver lives as long as the process (it is never freed), so the library stays.
}

int DriverHost::changed(const void* host, std::uint32_t object, std::uint32_t count,
                        const void* addresses) {
    auto* self = static_cast<const HostSlot*>(host)->self;
    const auto* list = static_cast<const AudioObjectPropertyAddress*>(addresses);
    if (object != kDevice || !self->onChange_) return 0;
    for (std::uint32_t i = 0; i < count; ++i) self->onChange_(list[i].mSelector);
    return 0;
}

std::uint32_t DriverHost::translate(const std::string& uid) {
    PropertyObjectRef text = PropertyStringCreate(uid.c_str());
    std::uint32_t device = 0, size = 0;
    const auto address = global(VL_FOURCC('u', 'i', 'd', 'd'));
    (*driver_)->GetPropertyData(driver_, kPlugIn, 0, &address, sizeof(text), &text, sizeof(device),
                                &size, &device);
    PropertyObjectRelease(text);
    return device;
}

std::pair<std::int32_t, micchannel::Value> DriverHost::get(std::uint32_t selector) {
    const auto address = global(selector);
    std::uint32_t size = 0;
    if (!isCustom(selector)) {
        std::uint32_t value = 0;
        const OSStatus status = (*driver_)->GetPropertyData(driver_, kDevice, 0, &address, 0,
                                                            nullptr, 4, &size, &value);
        if (status != 0) return {status, {}};
        return {0, value};
    }
    PropertyObjectRef object = nullptr;
    const OSStatus status = (*driver_)->GetPropertyData(driver_, kDevice, 0, &address, 0, nullptr,
                                                        sizeof(object), &size, &object);
    if (status != 0 || !object) return {status ? status : kAudioHardwareUnknownPropertyError, {}};
    micchannel::Value value;
    if (object->type == kPropertyObjectNumber)
        value = static_cast<std::uint32_t>(object->number);
    else if (object->type == kPropertyObjectData)
        value = Bytes(object->bytes, object->bytes + object->length);
    PropertyObjectRelease(object);
    return {0, value};
}

std::int32_t DriverHost::set(std::uint32_t selector, const micchannel::Value& value) {
    PropertyObjectRef object = nullptr;
    if (const auto* n = std::get_if<std::uint32_t>(&value))
        object = PropertyNumberCreate(static_cast<std::int32_t>(*n));
    else if (const auto* bytes = std::get_if<Bytes>(&value))
        object = PropertyDataCreate(bytes->data(), bytes->size());
    else
        return kAudioHardwareBadPropertySizeError;
    const auto address = global(selector);
    const OSStatus status = (*driver_)->SetPropertyData(driver_, kDevice, 0, &address, 0, nullptr,
                                                        sizeof(object), &object);
    PropertyObjectRelease(object);
    return status;
}

void DriverHost::startIO(std::uint32_t client) {
    (*driver_)->StartIO(driver_, kDevice, client);
}

void DriverHost::stopIO(std::uint32_t client) {
    (*driver_)->StopIO(driver_, kDevice, client);
}

void DriverHost::read(float* into, std::uint32_t frames) {
    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mIOCycleCounter = ++cycle_;
    cycle.mNominalIOBufferFrameSize = frames;
    const std::uint32_t op = kAudioServerPlugInIOOperationReadInput;
    (*driver_)->BeginIOOperation(driver_, kDevice, 0, op, frames, &cycle);
    (*driver_)->DoIOOperation(driver_, kDevice, kStream, 0, op, frames, &cycle, into, nullptr);
    (*driver_)->EndIOOperation(driver_, kDevice, 0, op, frames, &cycle);
}

}  // namespace vl::michost
