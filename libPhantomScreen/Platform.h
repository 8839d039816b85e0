// libPhantomScreen: where the library gets its virtual display classes. The shared library's
// build links the real backend's factory; tests install a fake before the first export runs.
#pragma once

#include "libPhantomScreen/platform/Interface.h"

#include <memory>

namespace vl::ps {

// Defined once per build of the library: the backend it uses when none was installed.
std::shared_ptr<VirtualDisplayPlatform> makeDefaultPlatform();

// Starts the library afresh on the given platform: no slots, no mode table, no snapshot.
void installPlatform(std::shared_ptr<VirtualDisplayPlatform> platform);

// The export through which a host that loaded the library by path hands it a platform of its own
// (one whose displays its other services share); null leaves it with none.
inline constexpr const char* installPlatformExport = "vlPhantomScreenInstallPlatform";
using InstallPlatformFunction = void (*)(const std::shared_ptr<VirtualDisplayPlatform>*);

}  // namespace vl::ps
