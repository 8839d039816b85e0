#include "platform/mutter/DesktopBackendChoice.h"

#include "platform/mutter/SessionBusNames.h"

#include <cstdlib>

namespace vl {

const char* description(DesktopBackend backend) {
    switch (backend) {
        case DesktopBackend::x11:
            return "X11";
        case DesktopBackend::mutter:
            return "Mutter (GNOME on Wayland)";
    }
    return "unknown";
}

DesktopBackendChoice chooseDesktopBackend(const DesktopSessionFacts& facts) {
    DesktopBackendChoice choice;
    // XDG_SESSION_TYPE is unset in many started-by-hand sessions; a Wayland socket still tells.
    choice.wayland = facts.sessionType == "wayland" ||
                     (facts.sessionType.empty() && !facts.waylandDisplay.empty());
    if (!choice.wayland) {
        choice.report = std::string("Desktop backend: ") + description(DesktopBackend::x11) +
                        (facts.x11Display.empty() ? "" : " on display " + facts.x11Display);
        return choice;
    }
    if (!facts.sessionBusReachable) {
        choice.missing = {mutterScreenCastName, mutterRemoteDesktopName};
    } else {
        for (const char* name : {mutterScreenCastName, mutterRemoteDesktopName})
            if (!facts.sessionBusNames.contains(name)) choice.missing.emplace_back(name);
    }
    if (choice.missing.empty()) {
        choice.backend = DesktopBackend::mutter;
        choice.report = std::string("Desktop backend: ") + description(DesktopBackend::mutter);
        return choice;
    }
    std::string lacks;
    for (const auto& name : choice.missing) lacks += (lacks.empty() ? "" : ", ") + name;
    choice.report = "🟨 Wayland session without " + lacks +
                    (facts.sessionBusReachable ? " on its session bus" : " (no session bus)") +
                    ": virtual displays, screen capture, input and clipboard need them. Desktop "
                    "backend: " +
                    description(DesktopBackend::x11) +
                    (facts.x11Display.empty()
                         ? " with no X display: only audio, microphone and camera run"
                         : " on " + facts.x11Display +
                               " (reaches only X clients); audio, microphone and camera run");
    return choice;
}

DesktopSessionFacts currentDesktopSessionFacts(const std::string& busAddress) {
    auto variable = [](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value ? value : "");
    };
    DesktopSessionFacts facts;
    facts.sessionType = variable("XDG_SESSION_TYPE");
    facts.waylandDisplay = variable("WAYLAND_DISPLAY");
    facts.x11Display = variable("DISPLAY");
    if (auto names = sessionBusNames(busAddress)) {
        facts.sessionBusReachable = true;
        facts.sessionBusNames = std::move(*names);
    }
    return facts;
}

}  // namespace vl
