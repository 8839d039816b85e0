// The main queue driven by another event loop, as the tray program's toolkit drives it. A
// program of its own: the hand-over is for the life of the process.
#include "base/DispatchQueue.h"
#include "base/DispatchTimer.h"
#include "base/testing/Eventually.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace vl;
using namespace std::chrono_literals;
using vl::testing::eventually;

namespace {

// A stand-in for a toolkit loop: sleeps until woken, then runs the waiting blocks.
class ForeignLoop {
  public:
    ForeignLoop() {
        DispatchQueue::driveMainFrom(
            [this] {
                std::lock_guard lock(mutex_);
                ++wakes_;
                woken_ = true;
                cv_.notify_all();
            },
            [this] {
                std::lock_guard lock(mutex_);
                stopped_ = true;
                cv_.notify_all();
            });
        thread_ = std::thread([this] {
            threadId_ = std::this_thread::get_id();
            std::unique_lock lock(mutex_);
            for (;;) {
                cv_.wait(lock, [this] { return woken_ || quit_; });
                if (quit_) return;
                woken_ = false;
                lock.unlock();
                DispatchQueue::runMainBlocks();
                lock.lock();
            }
        });
    }
    ~ForeignLoop() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
            cv_.notify_all();
        }
        thread_.join();
    }
    std::thread::id threadId() const { return threadId_; }
    bool stopped() {
        std::lock_guard lock(mutex_);
        return stopped_;
    }
    int wakes() {
        std::lock_guard lock(mutex_);
        return wakes_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool woken_ = false, quit_ = false, stopped_ = false;
    int wakes_ = 0;
    std::atomic<std::thread::id> threadId_;
    std::thread thread_;
};

TEST(MainQueueDrivenByAnotherLoop, BlocksTimersAndSyncRunOnThatLoopsThread) {
    // A block queued before the hand-over still runs, on the driving loop.
    std::atomic<bool> early{false};
    DispatchQueue::main().async([&] { early = DispatchQueue::main().isCurrent(); });
    ForeignLoop loop;
    ASSERT_TRUE(eventually([&] { return early.load(); }));

    std::vector<int> order;
    std::atomic<bool> onLoopThread{true};
    for (int i = 0; i < 100; ++i)
        DispatchQueue::main().async([&, i] {
            order.push_back(i);
            if (std::this_thread::get_id() != loop.threadId()) onLoopThread = false;
        });
    DispatchQueue::main().sync([] {});
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_TRUE(onLoopThread);
    // Wakes are coalesced: far fewer than one per block.
    EXPECT_LT(loop.wakes(), 100);

    std::atomic<bool> afterRan{false};
    std::thread::id afterThread;
    const auto start = Clock::now();
    DispatchQueue::main().asyncAfter(30ms, [&] {
        afterThread = std::this_thread::get_id();
        afterRan = true;
    });
    ASSERT_TRUE(eventually([&] { return afterRan.load(); }));
    EXPECT_GE(Clock::now() - start, 30ms);
    EXPECT_EQ(afterThread, loop.threadId());

    std::atomic<int> ticks{0};
    std::atomic<bool> tickOffThread{false};
    auto timer = DispatchTimer::make(DispatchQueue::main());
    timer->schedule(Clock::now(), 5ms);
    timer->setEventHandler([&] {
        if (std::this_thread::get_id() != loop.threadId()) tickOffThread = true;
        ++ticks;
    });
    timer->resume();
    ASSERT_TRUE(eventually([&] { return ticks >= 3; }));
    timer->cancel();
    EXPECT_FALSE(tickOffThread);

    EXPECT_FALSE(loop.stopped());
    DispatchQueue::stopMain();
    EXPECT_TRUE(loop.stopped());
}

}  // namespace
