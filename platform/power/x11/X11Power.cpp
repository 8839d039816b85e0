#include "platform/power/x11/X11Power.h"

#include <xcb/screensaver.h>

#include <cstdlib>
#include <memory>

namespace vl {

X11Power::X11Power(std::string displayName, Report report)
    : displayName_(std::move(displayName)), report_(std::move(report)) {}

X11Power::~X11Power() {
    disconnect();  // the server lifts our suspension with the connection
}

void X11Power::disconnect() {
    if (connection_) xcb_disconnect(connection_);
    connection_ = nullptr;
    suspended_ = false;
}

bool X11Power::ensureConnected() {
    if (connection_ && !xcb_connection_has_error(connection_)) return true;
    disconnect();
    auto* c = xcb_connect(displayName_.empty() ? nullptr : displayName_.c_str(), nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        if (!unreachableReported_ && report_)
            report_("power: no X server reachable; the display may sleep during a session");
        unreachableReported_ = true;
        return false;
    }
    unreachableReported_ = false;
    connection_ = c;
    std::unique_ptr<xcb_screensaver_query_version_reply_t, decltype(&std::free)> version(
        xcb_screensaver_query_version_reply(c, xcb_screensaver_query_version(c, 1, 1), nullptr),
        &std::free);
    hasScreenSaverExtension_ = version != nullptr;
    if (!hasScreenSaverExtension_ && report_)
        report_(
            "power: the X server has no MIT-SCREEN-SAVER extension; idle sleep is not held off");
    return true;
}

void X11Power::applySuspension() {
    bool wanted = !displayAssertions_.empty();
    if (!ensureConnected() || !hasScreenSaverExtension_ || wanted == suspended_) return;
    // Checked, so the server has acted before we return: other clients see the new state.
    std::free(xcb_request_check(connection_,
                                xcb_screensaver_suspend_checked(connection_, wanted ? 1 : 0)));
    // Waking a display that already blanked is part of keeping it on.
    if (wanted) resetIdleTimer();
    suspended_ = wanted;
}

void X11Power::resetIdleTimer() {
    std::free(xcb_request_check(
        connection_, xcb_force_screen_saver_checked(connection_, XCB_SCREEN_SAVER_RESET)));
}

std::optional<PowerAssertionID> X11Power::preventUserIdleDisplaySleep(const std::string&) {
    std::lock_guard lock(mutex_);
    if (!ensureConnected() || !hasScreenSaverExtension_) return std::nullopt;
    auto id = next_++;
    displayAssertions_.insert(id);
    applySuspension();
    return id;
}

std::optional<PowerAssertionID> X11Power::declareUserActivity(const std::string&) {
    std::lock_guard lock(mutex_);
    if (!ensureConnected()) return std::nullopt;
    // A reconnection after the server went away has lost the suspension: restore it too.
    applySuspension();
    resetIdleTimer();
    return next_++;  // activity lapses by itself; releasing it changes nothing
}

void X11Power::releaseAssertion(PowerAssertionID id) {
    std::lock_guard lock(mutex_);
    if (displayAssertions_.erase(id)) applySuspension();
}

}  // namespace vl
