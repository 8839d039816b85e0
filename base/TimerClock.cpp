#include "base/TimerClock.h"

#include "base/DispatchQueueImpl.h"

#include <atomic>

namespace vl {

namespace {

class AsioTimerClock final : public TimerClock {
  public:
    Clock::time_point now() const override { return Clock::now(); }

    Cancel schedule(DispatchQueue& queue, Clock::time_point deadline, Block block) override {
        auto& impl = queue.impl();
        // A strand of its own, so that the cancel below never touches the timer while it waits
        // on another thread, even on the concurrent queue.
        auto timer =
            std::make_shared<asio::steady_timer>(asio::make_strand(impl.executor), deadline);
        // The flag stops a firing that was already due when the cancel came; the cancel itself
        // lets go of the block early.
        auto cancelled = std::make_shared<std::atomic<bool>>(false);
        timer->async_wait(
            [timer, cancelled, block = impl.wrap(std::move(block))](const asio::error_code& error) {
                if (!error && !*cancelled) block();
            });
        return [cancelled, weak = std::weak_ptr<asio::steady_timer>(timer)] {
            if (cancelled->exchange(true)) return;
            if (auto timer = weak.lock())
                asio::post(timer->get_executor(), [timer] { timer->cancel(); });
        };
    }
};

}  // namespace

TimerClock& TimerClock::real() {
    static auto* clock = new AsioTimerClock;
    return *clock;
}

}  // namespace vl
