// windowsmgmt: the displays and windows at one moment, to be put back later.
#pragma once

#include "windowsmgmt/VNSDisplayInfo.h"
#include "windowsmgmt/VNSWindowInfo.h"

#include <chrono>
#include <vector>

namespace vl {

struct VNSLayoutSnapshot {
    std::chrono::system_clock::time_point timestamp;
    std::vector<VNSDisplayInfo> displays;
    // In capture order (front to back), which decides ties when windows are matched.
    std::vector<VNSWindowInfo> windows;
    bool operator==(const VNSLayoutSnapshot&) const = default;
};

}  // namespace vl
