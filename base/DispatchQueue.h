// base: dispatch queues — serial labelled queues, the global concurrent queue and the main queue.
#pragma once

#include "base/SourceLocation.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace vl {

using Block = std::function<void()>;
using Clock = std::chrono::steady_clock;

// A queue of blocks. Serial queues run one block at a time, in the order they were submitted; the
// global queue runs blocks concurrently on the shared thread pool; the main queue runs on the
// thread that calls DispatchQueue::runMain(). The pool and the main loop are never destroyed, so
// process exit never waits for blocks that can no longer run.
class DispatchQueue {
  public:
    enum class Kind { serial, concurrent, main };

    // A new serial queue on the shared pool.
    explicit DispatchQueue(std::string label);
    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    // A serial queue with a thread of its own, for long blocks (encoding) that would otherwise hold
    // a thread of the shared pool. The thread ends once every handle on the queue and every block
    // and timer submitted to it are gone: it is joined then, or detached when that happens on the
    // thread itself. Asio objects bound to its executor must not outlive it.
    static std::shared_ptr<DispatchQueue> dedicated(std::string label);

    static DispatchQueue& global();
    static DispatchQueue& main();

    // Runs the main queue on the calling thread until stopMain() is called.
    static void runMain();
    // Ends runMain(), or calls the driving loop's stop function.
    static void stopMain();
    // Hands the main queue to another event loop (a GUI toolkit's) instead of runMain(): `wake`
    // is called from any thread when blocks are waiting, once until the loop calls
    // runMainBlocks() on its thread; stopMain() then calls `stop`. No nested loops: blocks run
    // from the toolkit's own dispatch. Call once, before runMain() would have been called.
    static void driveMainFrom(std::function<void()> wake, std::function<void()> stop);
    static void runMainBlocks();

    const std::string& label() const;
    Kind kind() const;

    void async(Block block);
    void asyncAfter(Clock::duration delay, Block block);
    void asyncAt(Clock::time_point deadline, Block block);
    // Runs the block on this queue and waits for it; runs it in place when already on the queue.
    void sync(const Block& block);
    // True when the calling thread is running a block of this queue.
    bool isCurrent() const;
    // Checks that the caller runs on this queue. Without NDEBUG a violation aborts; with NDEBUG
    // (release builds) the first violation on each queue is logged with where it happened.
    void assertCurrent(SourceLocation where = SourceLocation::current()) const;

    // Another handle on this queue, for holders that may outlive this object (blocks queued by
    // a stream after its owner let go of the queue).
    std::shared_ptr<DispatchQueue> retain() const;

    struct Impl;
    Impl& impl() { return *impl_; }

  private:
    DispatchQueue(std::string label, Kind kind);
    explicit DispatchQueue(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

}  // namespace vl
