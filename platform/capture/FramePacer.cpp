#include "platform/capture/FramePacer.h"

#include <algorithm>

namespace vl {

struct FramePacer::Core {
    std::shared_ptr<DispatchQueue> queue;
    MediaTime interval{1'000'000};
    std::function<void()> tick;
    bool running = false;
    Clock::time_point startTime;
    std::int64_t deadlines = 0;
    std::uint64_t schedule = 0;  // advanced to cancel the tick that is scheduled
    Clock::time_point lastCompleteAt;
    std::uint64_t changeTicks = 0;
    std::uint64_t missedDeadlines = 0;

    void scheduleNext(const std::shared_ptr<Core>& self);
};

void FramePacer::Core::scheduleNext(const std::shared_ptr<Core>& self) {
    // Deadlines are start + n x interval, so lateness in one frame never shifts the next; ticks
    // that passed while we were late are skipped, not run in a burst.
    ++deadlines;
    auto deadline = startTime + deadlines * interval;
    const auto now = Clock::now();
    if (deadline < now) {
        const std::int64_t due = (now - startTime) / interval + 1;
        missedDeadlines += static_cast<std::uint64_t>(due - deadlines);
        deadlines = due;
        deadline = startTime + deadlines * interval;
    }
    std::weak_ptr<Core> weak = self;
    const std::uint64_t scheduled = ++schedule;
    queue->asyncAt(deadline, [weak, scheduled] {
        auto core = weak.lock();
        if (!core || core->schedule != scheduled) return;  // stopped, or a change re-planned it
        core->tick();
        if (core->schedule == scheduled) core->scheduleNext(core);
    });
}

FramePacer::FramePacer(std::shared_ptr<DispatchQueue> queue, MediaTime interval)
    : core_(std::make_shared<Core>()) {
    core_->queue = std::move(queue);
    core_->interval = std::max(interval, MediaTime{1'000'000});
}

FramePacer::~FramePacer() {
    stop();
}

void FramePacer::start(std::function<void()> tick) {
    if (!core_) return;
    stop();
    core_->tick = std::move(tick);
    core_->running = true;
    core_->startTime = Clock::now();
    core_->deadlines = 0;
    core_->scheduleNext(core_);
}

void FramePacer::stop() {
    if (!core_) return;
    core_->running = false;
    ++core_->schedule;
}

bool FramePacer::running() const {
    return core_ && core_->running;
}

void FramePacer::frameCompleted(Clock::time_point at) {
    if (core_) core_->lastCompleteAt = at;
}

bool FramePacer::changed() {
    if (!running()) return false;
    const auto now = Clock::now();
    if (now - core_->lastCompleteAt < core_->interval) return false;
    // Held here: the tick may stop the stream and let the pacer go.
    auto core = core_;
    const std::uint64_t replanned = ++core->schedule;
    ++core->changeTicks;
    core->tick();
    // The tick may have stopped the pacer.
    if (core->schedule != replanned) return true;
    core->startTime = now;
    core->deadlines = 0;
    core->scheduleNext(core);
    return true;
}

std::uint64_t FramePacer::changeTicks() const {
    return core_ ? core_->changeTicks : 0;
}
std::uint64_t FramePacer::missedDeadlines() const {
    return core_ ? core_->missedDeadlines : 0;
}

}  // namespace vl
