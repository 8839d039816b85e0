// Test builds of the library: no backend of their own; the test installs one.
#include "libPhantomScreen/Exports.h"
#include "libPhantomScreen/Platform.h"

namespace vl::ps {

std::shared_ptr<VirtualDisplayPlatform> makeDefaultPlatform() {
    return nullptr;
}

}  // namespace vl::ps
