#include "platform/events/Interface.h"

namespace vl {

std::string_view description(PointerEventType type) {
    switch (type) {
        case PointerEventType::leftDown:
            return "leftMouseDown";
        case PointerEventType::leftUp:
            return "leftMouseUp";
        case PointerEventType::rightDown:
            return "rightMouseDown";
        case PointerEventType::rightUp:
            return "rightMouseUp";
        case PointerEventType::mouseMoved:
            return "mouseMoved";
        case PointerEventType::leftDragged:
            return "leftMouseDragged";
        case PointerEventType::rightDragged:
            return "rightMouseDragged";
        case PointerEventType::otherDown:
            return "otherMouseDown";
        case PointerEventType::otherUp:
            return "otherMouseUp";
        case PointerEventType::otherDragged:
            return "otherMouseDragged";
    }
    return "unknown";
}

}  // namespace vl
