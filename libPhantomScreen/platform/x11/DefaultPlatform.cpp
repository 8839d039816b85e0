// The shared library's backend: the X server named by $DISPLAY.
#include "libPhantomScreen/Platform.h"
#include "libPhantomScreen/platform/x11/X11VirtualDisplays.h"

#include <cstdio>

namespace vl::ps {

std::shared_ptr<VirtualDisplayPlatform> makeDefaultPlatform() {
    // The library has no logging of its own; its host captures stderr.
    return std::make_shared<X11VirtualDisplays>(std::string{}, [](const std::string& text) {
        std::fprintf(stderr, "libPhantomScreen: %s\n", text.c_str());
    });
}

}  // namespace vl::ps
