#include "base/DispatchTimer.h"

#include <atomic>
#include <mutex>

namespace vl {

struct DispatchTimer::Impl : std::enable_shared_from_this<DispatchTimer::Impl> {
    Impl(std::shared_ptr<DispatchQueue> queue, TimerClock& clock)
        : queue(std::move(queue)), clock(clock), first(clock.now()) {}

    // One firing is scheduled at a time, the next one only once a handler has returned, so
    // firings never overlap, even on the concurrent queue.
    void arm(Clock::time_point deadline) {
        std::lock_guard lock(mutex);
        if (cancelled) return;
        pending = clock.schedule(*queue, deadline,
                                 [self = shared_from_this(), deadline] { self->fire(deadline); });
    }

    void fire(Clock::time_point deadline) {
        if (cancelled) return;
        Block handler;
        std::optional<Clock::duration> interval;
        {
            std::lock_guard lock(mutex);
            handler = this->handler;
            interval = repeat;
        }
        if (handler) handler();
        if (cancelled || !interval) return;
        auto next = deadline + *interval;
        // After a long stall, skip the missed firings instead of bursting through them.
        auto now = clock.now();
        if (next < now) next = now;
        arm(next);
    }

    const std::shared_ptr<DispatchQueue> queue;
    TimerClock& clock;
    std::mutex mutex;  // guards the fields below
    Block handler;
    Clock::time_point first;
    std::optional<Clock::duration> repeat;
    bool resumed = false;
    TimerClock::Cancel pending;
    std::atomic<bool> cancelled{false};
};

std::shared_ptr<DispatchTimer> DispatchTimer::make(DispatchQueue& queue) {
    return make(queue, TimerClock::real());
}

std::shared_ptr<DispatchTimer> DispatchTimer::make(DispatchQueue& queue, TimerClock& clock) {
    auto impl = std::make_shared<Impl>(queue.retain(), clock);
    return std::shared_ptr<DispatchTimer>(new DispatchTimer(std::move(impl)));
}

DispatchTimer::DispatchTimer(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

// A timer whose owner lets go of it stops, as a cancelled source would.
DispatchTimer::~DispatchTimer() {
    cancel();
}

void DispatchTimer::schedule(Clock::time_point first, std::optional<Clock::duration> repeat) {
    std::lock_guard lock(impl_->mutex);
    impl_->first = first;
    impl_->repeat = repeat;
}

void DispatchTimer::setEventHandler(Block handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->handler = std::move(handler);
}

void DispatchTimer::resume() {
    Clock::time_point first;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->resumed || impl_->cancelled) return;
        impl_->resumed = true;
        first = impl_->first;
    }
    impl_->arm(first);
}

void DispatchTimer::cancel() {
    TimerClock::Cancel pending;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->cancelled.exchange(true)) return;
        pending = std::move(impl_->pending);
    }
    // Lets go of the scheduled firing, and with it the timer's state.
    if (pending) pending();
}

bool DispatchTimer::isCancelled() const {
    return impl_->cancelled;
}

}  // namespace vl
