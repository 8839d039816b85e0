// platform/power/x11: idle-sleep prevention on an X server. Keeping the display awake suspends the
// screen saver (and with it display power management) while any such assertion is held;
// declaring user activity resets the server's idle timer, as local input would.
#pragma once

#include "platform/power/Interface.h"

#include <xcb/xcb.h>

#include <functional>
#include <mutex>
#include <set>

namespace vl {

class X11Power final : public PowerService {
  public:
    using Report = std::function<void(const std::string&)>;

    // displayName empty: $DISPLAY. Connects at first use and again after the server went away.
    explicit X11Power(std::string displayName = {}, Report report = {});
    ~X11Power() override;
    X11Power(const X11Power&) = delete;
    X11Power& operator=(const X11Power&) = delete;

    std::optional<PowerAssertionID> preventUserIdleDisplaySleep(const std::string& name) override;
    std::optional<PowerAssertionID> declareUserActivity(const std::string& name) override;
    void releaseAssertion(PowerAssertionID id) override;

  private:
    bool ensureConnected();
    void disconnect();
    // Suspends while display assertions exist; the server ties the suspension to our connection.
    void applySuspension();
    void resetIdleTimer();

    std::string displayName_;
    Report report_;
    std::mutex mutex_;
    xcb_connection_t* connection_ = nullptr;
    bool hasScreenSaverExtension_ = false;
    bool suspended_ = false;
    bool unreachableReported_ = false;
    std::set<PowerAssertionID> displayAssertions_;
    PowerAssertionID next_ = 1;
};

}  // namespace vl
