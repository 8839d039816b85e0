// phantomScreen: the control server's display operation of a sharing session — taking a new
// virtual display out of mirroring and placing it beside the main display (retried while the
// platform still reports it mirrored). The control server owns one and calls it; retries hold it
// weakly, as they hold the server.
#pragma once

#include "base/DispatchQueue.h"
#include "base/TimerClock.h"
#include "platform/display/Interface.h"

#include <functional>
#include <memory>
#include <optional>

namespace vl {

class DisplayArrangement : public std::enable_shared_from_this<DisplayArrangement> {
  public:
    // The retries run on `queue`, the desktop's, and wait on `clock`.
    static std::shared_ptr<DisplayArrangement> make(DisplayService& displays, DispatchQueue& queue,
                                                    TimerClock& clock = TimerClock::real());

    // Runs on the desktop's queue; retries 0.25 s apart there while still mirrored.
    void setDisplayExtended(DisplayID display, int retriesRemaining,
                            std::function<void(bool)> completion = {});

  private:
    DisplayArrangement(DisplayService& displays, DispatchQueue& queue, TimerClock& clock)
        : displays_(displays), queue_(queue), clock_(clock) {}
    DisplayService& displays_;
    DispatchQueue& queue_;
    TimerClock& clock_;
};

}  // namespace vl
