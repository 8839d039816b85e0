// windowsmgmt: one on-screen window as captured — owner, title, frame and display.
#pragma once

#include "platform/display/Interface.h"
#include "platform/windows/Interface.h"

#include <string>

namespace vl {

struct VNSWindowInfo {
    WindowID windowID = 0;
    std::string appBundleID;
    ProcessID appPID = 0;
    std::string windowTitle;
    DisplayRect frame;
    DisplayID displayID = nullDisplayID;
    bool operator==(const VNSWindowInfo&) const = default;
};

}  // namespace vl
