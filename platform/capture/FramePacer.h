// platform/capture: the frame clock of a capture stream — ticks at absolute deadlines on the
// capture queue, and a change after a quiet spell taken at once rather than at the next tick,
// never faster than the frame interval. Shared by the backends that learn of changes as they
// happen.
#pragma once

#include "base/DispatchQueue.h"
#include "platform/capture/PixelBuffer.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace vl {

// Used on the capture queue only.
class FramePacer {
  public:
    FramePacer() = default;
    FramePacer(std::shared_ptr<DispatchQueue> queue, MediaTime interval);
    ~FramePacer();
    FramePacer(FramePacer&&) = default;
    FramePacer& operator=(FramePacer&&) = default;

    // Ticks from now on at now + n x interval; `tick` runs on the capture queue for each.
    void start(std::function<void()> tick);
    // No tick runs after this, also none already scheduled.
    void stop();
    bool running() const;

    // The tick made a frame with new content at `at`: the next change waits out the interval
    // from there.
    void frameCompleted(Clock::time_point at);

    // Something changed. When an interval has passed since the last complete frame the tick
    // runs now and later deadlines count from here (true); sooner, the scheduled tick, at most
    // an interval away, takes the change (false).
    bool changed();

    // Ticks run at once for a change, off the deadlines.
    std::uint64_t changeTicks() const;
    // Deadlines that passed while a tick was late; skipped, not run in a burst.
    std::uint64_t missedDeadlines() const;

    struct Core;

  private:
    std::shared_ptr<Core> core_;
};

}  // namespace vl
