#include "base/DispatchQueue.h"
#include "base/DispatchTimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace vl;
using namespace std::chrono_literals;

namespace {

// Waits (bounded) until the predicate holds.
template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = 5s) {
    auto deadline = Clock::now() + limit;
    while (!predicate()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

}  // namespace

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

TEST(DispatchTimer, RepeatsOnItsQueueUntilCancelled) {
    DispatchQueue queue("test.timer");
    auto timer = DispatchTimer::make(queue);
    std::atomic<int> fires{0};
    std::atomic<bool> onQueue{true};
    timer->schedule(Clock::now(), 8ms);
    timer->setEventHandler([&] {
        if (!queue.isCurrent()) onQueue = false;
        ++fires;
    });
    timer->resume();
    ASSERT_TRUE(eventually([&] { return fires >= 5; }));
    timer->cancel();
    queue.sync([] {});
    int after = fires;
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(fires.load(), after);
    EXPECT_TRUE(onQueue);
}

TEST(DispatchTimer, OneShotFiresOnceAndAnEmptyHandlerSilencesIt) {
    DispatchQueue queue("test.timer.once");
    auto once = DispatchTimer::make(queue);
    std::atomic<int> fires{0};
    once->schedule(Clock::now() + 5ms);
    once->setEventHandler([&] { ++fires; });
    once->resume();
    ASSERT_TRUE(eventually([&] { return fires == 1; }));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(fires.load(), 1);

    auto silenced = DispatchTimer::make(queue);
    std::atomic<int> silencedFires{0};
    silenced->schedule(Clock::now() + 20ms, 5ms);
    silenced->setEventHandler([&] { ++silencedFires; });
    silenced->resume();
    silenced->setEventHandler({});
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(silencedFires.load(), 0);
    EXPECT_FALSE(silenced->isCancelled());
}

TEST(DispatchTimer, ReleasingTheTimerStopsIt) {
    DispatchQueue queue("test.timer.release");
    std::atomic<int> fires{0};
    {
        auto timer = DispatchTimer::make(queue);
        timer->schedule(Clock::now() + 20ms, 5ms);
        timer->setEventHandler([&] { ++fires; });
        timer->resume();
    }
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(fires.load(), 0);
}
