// tests/wayland: what the tests ask the virtual display platform for — our identity under a name
// and serial of the test's choosing.
#pragma once

#include "libPhantomScreen/platform/mutter/MutterVirtualDisplays.h"

#include <cstdint>
#include <string>

namespace vl::testing {

inline ps::VirtualDisplayDescriptor descriptorNamed(const std::string& name, std::uint32_t serial) {
    ps::VirtualDisplayDescriptor descriptor;
    descriptor.name = name;
    descriptor.vendorID = 2028;
    descriptor.productID = 1217;
    descriptor.serialNum = serial;
    descriptor.maxPixelsWide = 8160;
    descriptor.maxPixelsHigh = 8160;
    return descriptor;
}

}  // namespace vl::testing
