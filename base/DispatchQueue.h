// base: dispatch queues — serial labelled queues, the global concurrent queue and the main queue.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace vl {

using Block = std::function<void()>;
using Clock = std::chrono::steady_clock;

// A queue of blocks. Serial queues run one block at a time, in the order they were submitted; the
// global queue runs blocks concurrently on the shared thread pool; the main queue runs on the
// thread that calls DispatchQueue::runMain().
class DispatchQueue {
  public:
    enum class Kind { serial, concurrent, main };

    // A new serial queue on the shared pool.
    explicit DispatchQueue(std::string label);
    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    static DispatchQueue& global();
    static DispatchQueue& main();

    // Runs the main queue on the calling thread until stopMain() is called.
    static void runMain();
    static void stopMain();

    const std::string& label() const;
    Kind kind() const;

    void async(Block block);
    void asyncAfter(Clock::duration delay, Block block);
    void asyncAt(Clock::time_point deadline, Block block);
    // Runs the block on this queue and waits for it; runs it in place when already on the queue.
    void sync(const Block& block);
    // True when the calling thread is running a block of this queue.
    bool isCurrent() const;

    struct Impl;
    Impl& impl() { return *impl_; }

  private:
    DispatchQueue(std::string label, Kind kind);
    std::shared_ptr<Impl> impl_;
};

}  // namespace vl
