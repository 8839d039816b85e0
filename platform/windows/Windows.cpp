#include "platform/windows/Interface.h"

namespace vl {

const char* description(WindowError error) {
    switch (error) {
        case WindowError::success:
            return "success";
        case WindowError::notFound:
            return "window not found";
        case WindowError::rejected:
            return "the window manager did not apply the request";
        case WindowError::noWindowManager:
            return "no EWMH window manager runs";
        case WindowError::invalidConnection:
            return "the window server cannot be reached";
    }
    return "unknown";
}

}  // namespace vl
