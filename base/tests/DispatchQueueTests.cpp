#include "base/DispatchQueue.h"
#include "base/DispatchTimer.h"
#include "base/testing/BlockedPool.h"
#include "base/testing/Eventually.h"
#include "base/testing/LogCapture.h"
#include "base/testing/MainLoop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <set>
#include <thread>

using namespace vl;
using namespace std::chrono_literals;
using vl::testing::eventually;

TEST(DispatchQueue, SerialQueueRunsOneBlockAtATimeInOrder) {
    DispatchQueue queue("test.serial");
    std::atomic<int> running{0}, maxRunning{0};
    std::vector<int> order;
    for (int i = 0; i < 200; ++i) {
        queue.async([&, i] {
            int now = ++running;
            maxRunning = std::max(maxRunning.load(), now);
            order.push_back(i);
            if (i % 50 == 0) std::this_thread::sleep_for(1ms);
            --running;
        });
    }
    queue.sync([] {});
    EXPECT_EQ(maxRunning.load(), 1);
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
}

TEST(DispatchQueue, GlobalQueueRunsBlocksConcurrently) {
    std::mutex m;
    std::condition_variable cv;
    int arrived = 0;
    std::atomic<int> finished{0};
    for (int i = 0; i < 2; ++i) {
        DispatchQueue::global().async([&] {
            std::unique_lock lock(m);
            ++arrived;
            cv.notify_all();
            // Each block waits for the other: this only finishes when both run at once.
            cv.wait_for(lock, 5s, [&] { return arrived == 2; });
            if (arrived == 2) ++finished;
        });
    }
    EXPECT_TRUE(eventually([&] { return finished == 2; }));
}

TEST(DispatchQueue, SyncRunsInPlaceWhenAlreadyOnTheQueueAndIsCurrentTellsWhere) {
    DispatchQueue queue("test.sync");
    EXPECT_FALSE(queue.isCurrent());
    bool inner = false, current = false;
    queue.sync([&] {
        current = queue.isCurrent();
        queue.sync([&] { inner = true; });  // would deadlock if it queued behind itself
    });
    EXPECT_TRUE(current);
    EXPECT_TRUE(inner);
}

TEST(DispatchQueue, AsyncAfterWaitsAtLeastTheDelay) {
    DispatchQueue queue("test.after");
    auto start = Clock::now();
    std::atomic<bool> ran{false};
    Clock::time_point ranAt;
    queue.asyncAfter(30ms, [&] {
        ranAt = Clock::now();
        ran = true;
    });
    ASSERT_TRUE(eventually([&] { return ran.load(); }));
    EXPECT_GE(ranAt - start, 30ms);
}

TEST(DispatchQueue, MainQueueRunsOnTheThreadThatRunsTheMainLoop) {
    std::thread::id ranOn;
    DispatchQueue::main().async([&] {
        ranOn = std::this_thread::get_id();
        EXPECT_TRUE(DispatchQueue::main().isCurrent());
        DispatchQueue::stopMain();
    });
    DispatchQueue::runMain();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(DispatchQueue, TheTestMainLoopRunsTheMainQueueElsewhereAndDrainsItWhenItEnds) {
    std::atomic<int> ran{0};
    std::thread::id ranOn;
    {
        vl::testing::MainLoop loop;
        DispatchQueue::main().sync([&] { ranOn = std::this_thread::get_id(); });
        for (int i = 0; i < 50; ++i) DispatchQueue::main().async([&] { ++ran; });
    }
    EXPECT_NE(ranOn, std::this_thread::get_id());
    EXPECT_EQ(ran.load(), 50);
}

TEST(DispatchQueue, ADedicatedQueueRunsWhileEveryPoolThreadIsBlocked) {
    // The pool's threads wait until the dedicated queue releases them.
    vl::testing::BlockedPool pool;
    ASSERT_TRUE(pool.held());
    auto queue = DispatchQueue::dedicated("test.dedicated");
    const auto start = Clock::now();
    std::atomic<bool> ran{false};
    queue->async([&] {
        ran = true;
        pool.release();
    });
    EXPECT_TRUE(eventually([&] { return ran.load(); }, 3s));
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_TRUE(eventually([&] { return pool.waiting() == 0; }));
}

TEST(DispatchQueue, ADedicatedQueueIsSerialOnOneThreadAndWorksWithSyncAndTimers) {
    auto queue = DispatchQueue::dedicated("test.dedicated.serial");
    EXPECT_EQ(queue->kind(), DispatchQueue::Kind::serial);
    EXPECT_EQ(queue->label(), "test.dedicated.serial");
    std::set<std::thread::id> threads;
    std::vector<int> order;
    for (int i = 0; i < 100; ++i) {
        queue->async([&, i] {
            threads.insert(std::this_thread::get_id());
            order.push_back(i);
        });
    }
    bool nested = false;
    queue->sync([&] {
        EXPECT_TRUE(queue->isCurrent());
        queue->sync([&] { nested = true; });
    });
    EXPECT_TRUE(nested);
    EXPECT_EQ(threads.size(), 1u);
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);

    std::atomic<int> fires{0};
    auto timer = DispatchTimer::make(*queue);
    timer->schedule(Clock::now(), 2ms);
    timer->setEventHandler([&] {
        if (queue->isCurrent()) ++fires;
    });
    timer->resume();
    EXPECT_TRUE(eventually([&] { return fires >= 3; }));
    timer->cancel();
}

TEST(DispatchQueue, ADedicatedQueueLivesOnForItsBlocksAndMayBeReleasedOnItsOwnThread) {
    // Released by its owner while a block is still due: the block runs all the same.
    std::atomic<bool> late{false};
    {
        auto queue = DispatchQueue::dedicated("test.dedicated.late");
        queue->asyncAfter(20ms, [&] { late = true; });
    }
    EXPECT_TRUE(eventually([&] { return late.load(); }));

    // The last handle let go inside its own block: the thread cannot join itself.
    std::promise<void> released;
    auto queue = DispatchQueue::dedicated("test.dedicated.self");
    auto* raw = queue.get();
    raw->async([queue = std::move(queue), &released]() mutable {
        queue.reset();
        released.set_value();
    });
    EXPECT_EQ(released.get_future().wait_for(5s), std::future_status::ready);
}

TEST(DispatchQueue, ARetainedHandleKeepsTheQueueAfterItsOwnerIsGone) {
    std::shared_ptr<DispatchQueue> handle;
    std::atomic<bool> sameQueue{false};
    {
        DispatchQueue queue("test.retain");
        handle = queue.retain();
        queue.sync([&] { sameQueue = handle->isCurrent(); });
    }
    EXPECT_TRUE(sameQueue);
    EXPECT_EQ(handle->label(), "test.retain");
    bool ran = false;
    handle->sync([&] { ran = handle->isCurrent(); });
    EXPECT_TRUE(ran);
}

TEST(DispatchQueue, AssertCurrentPassesOnTheQueueAndCatchesOtherThreads) {
    DispatchQueue queue("test.assert");
    queue.sync([&] { queue.assertCurrent(); });
#ifdef NDEBUG
    // Release builds report the first violation on each queue, with the caller's place.
    vl::testing::LogCapture log;
    queue.assertCurrent();
    queue.assertCurrent();
    EXPECT_TRUE(log.contains("not on queue test.assert (on no queue)"));
    EXPECT_TRUE(log.contains("DispatchQueueTests.cpp"));
    EXPECT_EQ(log.count("not on queue test.assert"), 1u);
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(queue.assertCurrent(), "not on queue test.assert");
#endif
}

TEST(DispatchQueue, ExitDoesNotWaitForBlocksThatCanNoLongerRun) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A pool thread stuck for good, and a block waiting on the main queue, which nobody runs: the
    // process still ends at once (the alarm turns a hang into a failure).
    EXPECT_EXIT(
        {
            alarm(10);
            std::promise<void> started;
            DispatchQueue::global().async([&] {
                started.set_value();
                DispatchQueue::main().sync([] {});
            });
            started.get_future().wait();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
