// platform/cameradevices: the camera devices of the system as the server sees them — a device
// found by its UID, and its custom encoded-frame property, written with one access unit at a time.
#pragma once

#include "base/Bytes.h"

#include <cstdint>
#include <optional>
#include <string>

namespace vl {

using CameraDeviceID = std::uint32_t;

// Status codes of device calls: 0 is success.
enum class CameraStatus : std::int32_t {
    noErr = 0,
    unknownDevice = 1,     // no device with that id (the daemon restarted with other devices)
    unreachable = 2,       // the camera daemon is not running or refused the connection
    writeFailed = 3,       // the connection broke while writing
    propertyTooLarge = 4,  // the value is over the property's limit
};
const char* description(CameraStatus status);

class CameraDevices {
  public:
    // The largest value the encoded-frame property takes.
    static constexpr std::size_t maxFrameSize = 8 * 1024 * 1024;

    virtual ~CameraDevices() = default;

    // The device whose UID equals the text; none when it cannot be listed or none matches.
    virtual std::optional<CameraDeviceID> deviceWithUID(const std::string& uid) = 0;
    // Writes one value to the device's encoded-frame property.
    virtual CameraStatus setEncodedFrame(CameraDeviceID device, ByteView frame) = 0;
    virtual bool hasEncodedFrameProperty(CameraDeviceID device) = 0;
    // Whether the property can be written, with the status of the query.
    struct Settable {
        bool settable = false;
        CameraStatus status = CameraStatus::noErr;
    };
    virtual Settable isEncodedFrameSettable(CameraDeviceID device) = 0;
};

}  // namespace vl
