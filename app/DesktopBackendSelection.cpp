#include "app/DesktopBackendSelection.h"

namespace vl {

DesktopBackend selectDesktopBackend(const DesktopSessionFacts& facts,
                                    const std::function<void(const std::string&)>& report) {
    const DesktopBackendChoice choice = chooseDesktopBackend(facts);
    if (choice.backend != DesktopBackend::mutter) {
        report(choice.report);
        return choice.backend;
    }
    report(std::string("🟨 GNOME on Wayland: Mutter offers ScreenCast and RemoteDesktop, but the "
                       "server's virtual displays do not run on Mutter yet. Desktop backend: ") +
           description(DesktopBackend::x11) +
           (facts.x11Display.empty() ? " with no X display: only audio, microphone and camera run"
                                     : " on " + facts.x11Display + " (reaches only X clients)"));
    return DesktopBackend::x11;
}

}  // namespace vl
