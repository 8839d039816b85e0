// base/testing: every thread of the shared pool held at once, for tests of work that must not
// depend on the pool (dedicated queues, capture, encoding).
#pragma once

#include "base/DispatchQueue.h"
#include "base/testing/Eventually.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace vl::testing {

class BlockedPool {
  public:
    // Queues more blocks than the pool has threads; each waits until released, or 5 s at most.
    BlockedPool() : gate_(std::make_shared<Gate>()) {
        const unsigned blocks = std::max(4u, std::thread::hardware_concurrency()) + 4;
        for (unsigned i = 0; i < blocks; ++i) {
            // The blocks' last unlock can come after this object is gone: they share the gate.
            DispatchQueue::global().async([gate = gate_] {
                ++gate->waiting;
                std::unique_lock lock(gate->mutex);
                gate->changed.wait_for(lock, std::chrono::seconds(5),
                                       [&] { return gate->released; });
                --gate->waiting;
            });
        }
    }
    ~BlockedPool() {
        release();
        eventually([&] { return waiting() == 0; }, std::chrono::seconds(6));
    }
    BlockedPool(const BlockedPool&) = delete;
    BlockedPool& operator=(const BlockedPool&) = delete;

    // Whether the pool's threads (at least four) are all held.
    bool held() const {
        return eventually([&] { return waiting() >= 4; });
    }
    void release() {
        {
            std::lock_guard lock(gate_->mutex);
            gate_->released = true;
        }
        gate_->changed.notify_all();
    }
    int waiting() const { return gate_->waiting; }

  private:
    struct Gate {
        std::mutex mutex;
        std::condition_variable changed;
        bool released = false;
        std::atomic<int> waiting{0};
    };
    std::shared_ptr<Gate> gate_;
};

}  // namespace vl::testing
