#include "base/DispatchTimer.h"

#include "base/DispatchQueueImpl.h"

#include <atomic>
#include <mutex>

namespace vl {

struct DispatchTimer::Impl : std::enable_shared_from_this<DispatchTimer::Impl> {
    // The timer has its own strand on the queue, so that its firings never overlap each other and
    // its Asio object is only touched from one place, even on the concurrent queue.
    explicit Impl(std::shared_ptr<DispatchQueue::Impl> queue)
        : queue(std::move(queue)), timer(asio::make_strand(this->queue->executor)) {}

    void arm(Clock::time_point deadline) {
        timer.expires_at(deadline);
        timer.async_wait([self = shared_from_this(), deadline](const asio::error_code& error) {
            if (!error) self->queue->run([&] { self->fire(deadline); });
        });
    }

    void fire(Clock::time_point deadline) {
        if (cancelled) return;
        Block handler;
        {
            std::lock_guard lock(mutex);
            handler = this->handler;
        }
        if (handler) handler();
        if (cancelled || !repeat) return;
        auto next = deadline + *repeat;
        // After a long stall, skip the missed firings instead of bursting through them.
        auto now = Clock::now();
        if (next < now) next = now;
        arm(next);
    }

    std::shared_ptr<DispatchQueue::Impl> queue;
    asio::steady_timer timer;
    std::mutex mutex;
    Block handler;
    Clock::time_point first = Clock::now();
    std::optional<Clock::duration> repeat;
    bool resumed = false;
    std::atomic<bool> cancelled{false};
};

std::shared_ptr<DispatchTimer> DispatchTimer::make(DispatchQueue& queue) {
    auto impl = std::make_shared<Impl>(queue.impl().shared_from_this());
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
    asio::post(impl_->timer.get_executor(), [impl = impl_, first] { impl->arm(first); });
}

void DispatchTimer::cancel() {
    if (impl_->cancelled.exchange(true)) return;
    asio::post(impl_->timer.get_executor(), [impl = impl_] { impl->timer.cancel(); });
}

bool DispatchTimer::isCancelled() const {
    return impl_->cancelled;
}

}  // namespace vl
