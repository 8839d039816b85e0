// base/testing: a timer clock that only moves when the test moves it, so timers (a 16 ms
// confinement tick, a 500 ms poll) are tested without sleeping.
#pragma once

#include "base/DispatchQueue.h"
#include "base/TimerClock.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace vl::testing {

class ManualClock final : public TimerClock {
  public:
    // Starts at an arbitrary fixed point, far from the steady clock's epoch.
    explicit ManualClock(Clock::time_point start = Clock::time_point(std::chrono::hours(1)))
        : now_(start) {}
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    Clock::time_point now() const override {
        std::lock_guard lock(mutex_);
        return now_;
    }

    Cancel schedule(DispatchQueue& queue, Clock::time_point deadline, Block block) override {
        std::lock_guard lock(mutex_);
        const Key key{deadline, nextSequence_++};
        due_.emplace(key, Entry{queue.retain(), std::move(block)});
        // The token may outlive the clock (a timer released after its test); it then does nothing.
        return [weak = std::weak_ptr<State>(state_), this, key] {
            if (auto alive = weak.lock()) cancel(key);
        };
    }

    // Moves time forward by `duration`, running every block that falls due on its queue, in
    // deadline order (ties in the order they were scheduled), each complete before the next and
    // before this returns. Blocks scheduled by those blocks run too when they fall due in time.
    // Must not be called from a queue that a due block runs on, except that queue's own blocks.
    void advance(Clock::duration duration) {
        std::unique_lock lock(mutex_);
        const Clock::time_point target = now_ + duration;
        while (!due_.empty() && due_.begin()->first.deadline <= target) {
            auto node = due_.extract(due_.begin());
            if (node.key().deadline > now_) now_ = node.key().deadline;
            lock.unlock();
            {
                // Run, and let go of what the block held, unlocked.
                Entry entry = std::move(node.mapped());
                entry.queue->sync(entry.block);
            }
            lock.lock();
        }
        if (target > now_) now_ = target;
    }

    // Blocks waiting for their deadline.
    std::size_t pendingCount() const {
        std::lock_guard lock(mutex_);
        return due_.size();
    }

  private:
    struct Key {
        Clock::time_point deadline;
        std::uint64_t sequence;
        bool operator<(const Key& other) const {
            return std::pair(deadline, sequence) < std::pair(other.deadline, other.sequence);
        }
    };
    struct Entry {
        std::shared_ptr<DispatchQueue> queue;
        Block block;
    };
    struct State {};

    void cancel(const Key& key) {
        Entry removed;
        {
            std::lock_guard lock(mutex_);
            auto it = due_.find(key);
            if (it == due_.end()) return;
            removed = std::move(it->second);
            due_.erase(it);
        }
    }

    mutable std::mutex mutex_;
    Clock::time_point now_;
    std::uint64_t nextSequence_ = 0;
    std::map<Key, Entry> due_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace vl::testing
