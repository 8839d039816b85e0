// base: where timers take their time from. The real clock waits on the steady clock; tests put a
// manual clock in its place and move time forward themselves.
#pragma once

#include "base/DispatchQueue.h"

#include <functional>

namespace vl {

class TimerClock {
  public:
    // Cancels one scheduled block; cancelling after it started, or twice, does nothing.
    using Cancel = std::function<void()>;

    // The steady clock, with deadlines kept by the queues' Asio timers. Never destroyed.
    static TimerClock& real();

    virtual ~TimerClock() = default;

    virtual Clock::time_point now() const = 0;
    // Runs the block on the queue once the deadline has passed, unless cancelled first.
    virtual Cancel schedule(DispatchQueue& queue, Clock::time_point deadline, Block block) = 0;

    Cancel scheduleAfter(DispatchQueue& queue, Clock::duration delay, Block block) {
        return schedule(queue, now() + delay, std::move(block));
    }
};

}  // namespace vl
