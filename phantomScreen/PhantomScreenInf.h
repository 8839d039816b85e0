// phantomScreen: the server's side of virtual displays — loads the virtual display library by
// path, creates displays at a supported resolution, gives them their exact mode, places them to
// the right of the others, finds them again and removes them. Type-level only.
#pragma once

#include "phantomScreen/Resolution.h"
#include "platform/display/Interface.h"

#include <map>
#include <optional>
#include <string>

namespace vl {

class PhantomScreenInf {
  public:
    PhantomScreenInf() = delete;
    using Resolution = vl::Resolution;

    // The composition root hands in the display arrangement before the first use.
    static void setDisplayService(DisplayService* service);
    // <folder of the executable>/../lib/vantrel-link/libPhantomScreen.so unless overridden
    // (relocated installs, tests).
    static std::string libraryPath();
    static void setLibraryPath(std::optional<std::string> path);

    static void initLib();
    static bool isLoaded();
    static std::optional<DisplayID> addDisplayEx(Resolution resolution, bool portrait);
    static std::optional<DisplayID> addDisplay(Resolution resolution, bool portrait);
    static void setResolution(DisplayID display, int width, int height);
    static void placeToRightOfExisting(DisplayID display);
    static bool removeDisplay(DisplayID displayID);
    static std::optional<DisplayID> findPS();
    static void release();
};

}  // namespace vl
