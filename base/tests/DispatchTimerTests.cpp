#include "base/DispatchTimer.h"
#include "base/testing/Eventually.h"
#include "base/testing/ManualClock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace vl;
using namespace std::chrono_literals;
using vl::testing::eventually;
using vl::testing::ManualClock;

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

// --- on a manual clock: time moves only when the test says so

TEST(ManualClock, ARepeatingTimerFiresOncePerIntervalAtItsDeadlinesOnItsQueue) {
    ManualClock clock;
    DispatchQueue queue("test.manual.repeat");
    auto timer = DispatchTimer::make(queue, clock);
    const auto start = clock.now();
    std::vector<Clock::duration> firedAt;
    bool onQueue = true;
    timer->schedule(start + 16ms, 16ms);
    timer->setEventHandler([&] {
        onQueue = onQueue && queue.isCurrent();
        firedAt.push_back(clock.now() - start);
    });
    timer->resume();

    clock.advance(15ms);
    EXPECT_TRUE(firedAt.empty());
    clock.advance(1ms);
    EXPECT_EQ(firedAt.size(), 1u);
    clock.advance(144ms);  // 160 ms in all
    ASSERT_EQ(firedAt.size(), 10u);
    for (std::size_t i = 0; i < firedAt.size(); ++i)
        EXPECT_EQ(firedAt[i], 16ms * static_cast<int>(i + 1));
    EXPECT_TRUE(onQueue);
    EXPECT_EQ(clock.now() - start, 160ms);

    // Cancelled, it fires no more and lets go of its firing.
    timer->cancel();
    clock.advance(1s);
    EXPECT_EQ(firedAt.size(), 10u);
    EXPECT_EQ(clock.pendingCount(), 0u);
}

TEST(ManualClock, AReplacedHandlerTakesTheNextFiringAndAnEmptyOneSilencesIt) {
    ManualClock clock;
    DispatchQueue queue("test.manual.handler");
    auto timer = DispatchTimer::make(queue, clock);
    int first = 0, second = 0;
    timer->schedule(clock.now() + 500ms, 500ms);
    timer->setEventHandler([&] { ++first; });
    timer->resume();
    clock.advance(1s);
    timer->setEventHandler([&] { ++second; });
    clock.advance(1500ms);
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 3);
    timer->setEventHandler({});
    clock.advance(1s);
    EXPECT_EQ(second, 3);
    EXPECT_FALSE(timer->isCancelled());
    EXPECT_EQ(clock.pendingCount(), 1u);  // still ticking, silently
}

TEST(ManualClock, AOneShotTimerFiresOnceAndAReleasedTimerNever) {
    ManualClock clock;
    DispatchQueue queue("test.manual.once");
    auto once = DispatchTimer::make(queue, clock);
    int fires = 0;
    once->schedule(clock.now() + 8ms);
    once->setEventHandler([&] { ++fires; });
    once->resume();
    once->resume();  // a second resume changes nothing
    clock.advance(1s);
    EXPECT_EQ(fires, 1);
    clock.advance(1s);
    EXPECT_EQ(fires, 1);

    int releasedFires = 0;
    {
        auto released = DispatchTimer::make(queue, clock);
        released->schedule(clock.now() + 8ms, 8ms);
        released->setEventHandler([&] { ++releasedFires; });
        released->resume();
    }
    clock.advance(1s);
    EXPECT_EQ(releasedFires, 0);
    EXPECT_EQ(clock.pendingCount(), 0u);
}

TEST(ManualClock, BlocksRunInDeadlineOrderAcrossQueuesAndMayScheduleMore) {
    ManualClock clock;
    DispatchQueue a("test.manual.a"), b("test.manual.b");
    std::vector<std::string> order;
    clock.scheduleAfter(a, 30ms, [&] { order.push_back("a30"); });
    clock.scheduleAfter(b, 10ms, [&] {
        order.push_back("b10");
        // Falls due within the same advance, so it runs in it.
        clock.scheduleAfter(a, 5ms, [&] { order.push_back("a15"); });
    });
    clock.scheduleAfter(a, 10ms, [&] { order.push_back("a10"); });
    auto cancel = clock.scheduleAfter(b, 20ms, [&] { order.push_back("b20"); });
    cancel();
    clock.advance(30ms);
    EXPECT_EQ(order, (std::vector<std::string>{"b10", "a10", "a15", "a30"}));
}

TEST(TimerClock, TheRealClockRunsOnTheQueueAndACancelledBlockNever) {
    DispatchQueue queue("test.realclock");
    auto& clock = TimerClock::real();
    std::atomic<bool> ran{false}, cancelledRan{false};
    clock.scheduleAfter(queue, 5ms, [&] { ran = queue.isCurrent(); });
    auto cancel = clock.scheduleAfter(queue, 20ms, [&] { cancelledRan = true; });
    cancel();
    EXPECT_TRUE(eventually([&] { return ran.load(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(cancelledRan);
}
