// base: repeating timer sources that fire on a dispatch queue.
#pragma once

#include "base/DispatchQueue.h"
#include "base/TimerClock.h"

#include <memory>
#include <optional>

namespace vl {

// A timer source: schedule (first fire, optional repeat interval), an event handler that may be
// replaced at any time (an empty handler makes firings do nothing), resume, cancel. Repeats are
// kept on absolute deadlines so they do not drift. Cancel is final; a handler already running
// finishes.
class DispatchTimer {
  public:
    static std::shared_ptr<DispatchTimer> make(DispatchQueue& queue);
    // A timer on the given clock (tests pass a manual one); the clock must outlive the timer.
    static std::shared_ptr<DispatchTimer> make(DispatchQueue& queue, TimerClock& clock);
    ~DispatchTimer();

    void schedule(Clock::time_point first, std::optional<Clock::duration> repeat = std::nullopt);
    void setEventHandler(Block handler);
    void resume();
    void cancel();
    bool isCancelled() const;

    struct Impl;

  private:
    explicit DispatchTimer(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

}  // namespace vl
