#include "platform/cameradevices/Interface.h"

namespace vl {

const char* description(CameraStatus status) {
    switch (status) {
        case CameraStatus::noErr:
            return "no error";
        case CameraStatus::unknownDevice:
            return "unknown device";
        case CameraStatus::unreachable:
            return "camera daemon unreachable";
        case CameraStatus::writeFailed:
            return "write to the camera daemon failed";
        case CameraStatus::propertyTooLarge:
            return "value too large for the property";
    }
    return "unknown status";
}

}  // namespace vl
