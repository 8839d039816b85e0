// libPhantomScreen/platform: the virtual display classes — a display object made from a
// descriptor that appears once settings with its modes are applied and goes away when destroyed —
// plus the arrangement and cursor services the library uses beside them.
#pragma once

#include "platform/display/Interface.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vl::ps {

struct Chromaticity {
    double x = 0;
    double y = 0;
};

struct VirtualDisplayDescriptor {
    std::string name;
    std::uint32_t productID = 0;
    std::uint32_t vendorID = 0;
    std::uint32_t serialNum = 0;
    std::uint32_t maxPixelsWide = 0;
    std::uint32_t maxPixelsHigh = 0;
    Chromaticity whitePoint;
    Chromaticity redPrimary;
    Chromaticity greenPrimary;
    Chromaticity bluePrimary;
};

struct VirtualDisplayMode {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    double refreshRate = 0;
    bool operator==(const VirtualDisplayMode&) const = default;
};

struct VirtualDisplaySettings {
    std::uint32_t hiDPI = 0;                // non-zero turns HiDPI on
    std::vector<VirtualDisplayMode> modes;  // the first is shown
};

// A virtual display; destroying it removes the display.
class VirtualDisplay {
  public:
    virtual ~VirtualDisplay() = default;
    virtual DisplayID displayID() const = 0;
    virtual const VirtualDisplayDescriptor& descriptor() const = 0;
    // Shows the display in the first mode; false when the platform refuses.
    virtual bool applySettings(const VirtualDisplaySettings& settings) = 0;
};

class VirtualDisplayPlatform {
  public:
    virtual ~VirtualDisplayPlatform() = default;
    // Null when the platform can make no further display.
    virtual std::unique_ptr<VirtualDisplay> createDisplay(
        const VirtualDisplayDescriptor& descriptor) = 0;
    virtual DisplayService& displays() = 0;
    virtual void warpCursor(DisplayPoint point) = 0;
};

}  // namespace vl::ps
