// platform/mutter: which desktop backends this session gets. A GNOME Wayland session (its session
// bus owns Mutter's ScreenCast and RemoteDesktop) gets the Mutter backends; an X11 session keeps
// the X11 ones; a Wayland session of another compositor keeps the X11 path on whatever X display
// it offers (Xwayland, if any) and is told what it lacks.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace vl {

inline constexpr const char* mutterScreenCastName = "org.gnome.Mutter.ScreenCast";
inline constexpr const char* mutterRemoteDesktopName = "org.gnome.Mutter.RemoteDesktop";

// What the choice looks at, gathered once at start.
struct DesktopSessionFacts {
    std::string sessionType;     // $XDG_SESSION_TYPE
    std::string waylandDisplay;  // $WAYLAND_DISPLAY
    std::string x11Display;      // $DISPLAY
    bool sessionBusReachable = false;
    std::set<std::string> sessionBusNames;  // the names owned on the session bus
};

enum class DesktopBackend { x11, mutter };
const char* description(DesktopBackend backend);

struct DesktopBackendChoice {
    DesktopBackend backend = DesktopBackend::x11;
    bool wayland = false;
    // The bus names a Wayland session lacks for the Mutter backends; empty otherwise.
    std::vector<std::string> missing;
    // One line for the log, naming the backend chosen and, on a Wayland session without Mutter,
    // what is missing and what still runs.
    std::string report;
};

DesktopBackendChoice chooseDesktopBackend(const DesktopSessionFacts& facts);

// This process's facts: its environment and the session bus at `busAddress` (the user's session
// bus when empty).
DesktopSessionFacts currentDesktopSessionFacts(const std::string& busAddress = {});

}  // namespace vl
