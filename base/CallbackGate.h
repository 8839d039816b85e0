// base: lets an object end its callbacks from any thread without waiting on a queue. Calls made
// through the gate stop once it is closed; close() waits only for a call already under way on
// another thread (never for queued work), and not at all when made from inside a call.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vl {

class CallbackGate {
  public:
    CallbackGate() = default;
    CallbackGate(const CallbackGate&) = delete;
    CallbackGate& operator=(const CallbackGate&) = delete;

    // Runs the call unless the gate is closed; returns whether it ran.
    template <class Call>
    bool pass(Call&& call) {
        {
            std::lock_guard lock(mutex_);
            if (closed_) return false;
            inside_.push_back(std::this_thread::get_id());
        }
        Leave leave{*this};
        call();
        return true;
    }

    // Once this returns, no call through the gate runs, except on the calling thread.
    void close() {
        std::unique_lock lock(mutex_);
        closed_ = true;
        const auto self = std::this_thread::get_id();
        left_.wait(lock, [&] {
            return std::all_of(inside_.begin(), inside_.end(),
                               [&](std::thread::id id) { return id == self; });
        });
    }

    bool isClosed() const {
        std::lock_guard lock(mutex_);
        return closed_;
    }

  private:
    struct Leave {
        CallbackGate& gate;
        ~Leave() {
            std::lock_guard lock(gate.mutex_);
            auto& inside = gate.inside_;
            inside.erase(std::find(inside.begin(), inside.end(), std::this_thread::get_id()));
            gate.left_.notify_all();
        }
    };

    mutable std::mutex mutex_;
    std::condition_variable left_;
    bool closed_ = false;
    std::vector<std::thread::id> inside_;  // one entry per call under way
};

}  // namespace vl
