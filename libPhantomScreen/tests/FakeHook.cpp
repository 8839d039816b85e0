// Test builds of the library: no backend of their own; the test installs one.
#include "libPhantomScreen/Exports.h"
#include "libPhantomScreen/Platform.h"

namespace vl::ps {

std::shared_ptr<VirtualDisplayPlatform> makeDefaultPlatform() {
    return nullptr;
}

}  // namespace vl::ps

// Lets a test that loads the library by path hand it a fake platform.
extern "C" PS_EXPORT void vlPhantomScreenInstallPlatform(
    const std::shared_ptr<vl::ps::VirtualDisplayPlatform>* platform) {
    vl::ps::installPlatform(platform ? *platform : nullptr);
}
