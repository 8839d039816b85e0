// phantomScreen: the virtual displays created for the client's main sharing session, the load and
// release of the virtual display library at start-up and termination, and the wait for a virtual
// display to come online. The control server needs only this object.
#pragma once

#include "base/TimerClock.h"
#include "phantomScreen/PhantomScreenInf.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace vl {

// Create with std::make_shared: a wait in progress holds it weakly.
class PhantomScreenService : public std::enable_shared_from_this<PhantomScreenService> {
  public:
    // The waits for a display poll on `pollQueue` and take their time from `clock`.
    PhantomScreenService(std::shared_ptr<PhantomScreenInf> inf, DispatchQueue& pollQueue,
                         TimerClock& clock = TimerClock::real());
    PhantomScreenService(const PhantomScreenService&) = delete;
    PhantomScreenService& operator=(const PhantomScreenService&) = delete;

    void startService(Resolution resolution);
    void stopService();
    void stopPS(DisplayID display);
    // Start-up (service hub's prepareServices): loads the library unless loaded.
    void initService();
    // Termination (service hub's cleanupServices): releases the library.
    void destroyService();

    std::vector<std::optional<DisplayID>> extraDisplayIDs() const;
    void appendExtraDisplayID(std::optional<DisplayID> display);

    std::optional<DisplayID> findPS();
    std::optional<DisplayID> addDisplayEx(Resolution resolution, bool portrait);

    // Polls every 0.2 s on the poll queue (first poll after 0.2 s) and calls the completion
    // there exactly once: with the first online virtual display, or none after the timeout (or
    // once this service is gone).
    void waitForPhantomScreen(double timeout,
                              std::function<void(std::optional<DisplayID>)> completion);

    PhantomScreenInf& inf() const { return *inf_; }

  private:
    struct Poll;
    void schedulePoll(std::shared_ptr<Poll> poll);

    const std::shared_ptr<PhantomScreenInf> inf_;
    DispatchQueue& pollQueue_;
    TimerClock& clock_;
    mutable std::mutex mutex_;
    std::vector<std::optional<DisplayID>> extraDisplayIDs_;
};

}  // namespace vl
