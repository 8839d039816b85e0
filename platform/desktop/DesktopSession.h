// platform/desktop: the light session on the server's own desktop, so a remote user has
// something to work with — a wallpaper and a panel whose launcher starts a terminal and a file
// manager (tint2, xterm, pcmanfm). Started after the window manager, stopped before it.
#pragma once

#include "platform/desktop/ChildProcess.h"

#include <functional>
#include <string>
#include <vector>

struct xcb_connection_t;

namespace vl {

class DesktopSession {
  public:
    struct Programs {
        std::string panel = "tint2";
        std::string terminal = "xterm";
        std::string fileManager = "pcmanfm";
    };
    using Report = std::function<void(const std::string&)>;

    DesktopSession() = default;
    explicit DesktopSession(Programs programs) : programs_(std::move(programs)) {}
    void start(xcb_connection_t* connection, const std::vector<std::string>& environment,
               const std::string& directory, const Report& report);
    void stop();

    // A vertical gradient over the whole root window, tiled as the framebuffer grows.
    static bool paintWallpaper(xcb_connection_t* connection);
    // The panel's configuration text, with its two launchers.
    static std::string panelConfiguration(const std::string& terminalEntry,
                                          const std::string& fileManagerEntry);

  private:
    Programs programs_;
    ChildProcess panel_;
};

}  // namespace vl
