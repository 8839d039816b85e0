// windowsmgmt: one connected display as remembered before sharing — its bounds and origin.
#pragma once

#include "platform/display/Interface.h"

#include <cstdint>

namespace vl {

struct VNSDisplayInfo {
    DisplayID displayID = nullDisplayID;
    DisplayRect bounds;
    // No per-screen work area is kept: the visible frame is the bounds.
    DisplayRect visibleFrame;
    double scaleFactor = 1.0;
    bool isMain = false;
    std::int32_t originX = 0;
    std::int32_t originY = 0;
    bool operator==(const VNSDisplayInfo&) const = default;
};

}  // namespace vl
