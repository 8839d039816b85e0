// phantomScreen: the virtual displays created for the client's main sharing session, and the
// load and release of the virtual display library at start-up and termination. Type-level only.
#pragma once

#include "phantomScreen/PhantomScreenInf.h"

#include <optional>
#include <vector>

namespace vl {

class PhantomScreenService {
  public:
    PhantomScreenService() = delete;

    static void startService(Resolution resolution);
    static void stopService();
    static void stopPS(DisplayID display);
    // Start-up (service hub's prepareServices): loads the library unless loaded.
    static void initService();
    // Termination (service hub's cleanupServices): releases the library.
    static void destroyService();

    static std::vector<std::optional<DisplayID>> extraDisplayIDs();
    static void appendExtraDisplayID(std::optional<DisplayID> display);
};

}  // namespace vl
