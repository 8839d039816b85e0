#include "base/DispatchQueue.h"
#include "platform/capture/FramePacer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace vl {
namespace {

using namespace std::chrono_literals;

// A change is taken at once only when a frame interval has passed since the last complete frame;
// closer changes are left to the scheduled tick. The interval is long enough that no scheduled
// tick falls inside the test.
TEST(FramePacer, AChangeTicksAtOnceOnlyAfterAQuietInterval) {
    auto queue = std::make_shared<DispatchQueue>("pacer-test");
    int ticks = 0;
    bool takenAtOnce = false, tooSoon = true, afterStop = true;
    queue->sync([&] {
        FramePacer pacer(queue->retain(), std::chrono::seconds(30));
        pacer.start([&] { ++ticks; });
        // Nothing went out yet: the first change goes at once, in the caller.
        takenAtOnce = pacer.changed() && ticks == 1;
        pacer.frameCompleted(Clock::now());
        tooSoon = pacer.changed();
        EXPECT_EQ(pacer.changeTicks(), 1u);
        pacer.stop();
        afterStop = pacer.changed();
    });
    EXPECT_TRUE(takenAtOnce);
    EXPECT_FALSE(tooSoon) << "a change within the interval ran a tick of its own";
    EXPECT_FALSE(afterStop) << "a stopped pacer ran a tick";
    EXPECT_EQ(ticks, 1);
}

// Ticks follow the deadlines until stopped, and none runs after that, also one already queued;
// a tick may stop its own pacer.
TEST(FramePacer, TicksRunUntilStoppedAndNoneAfter) {
    auto queue = std::make_shared<DispatchQueue>("pacer-test");
    std::atomic<int> ticks{0};
    auto pacer = std::make_shared<FramePacer>(queue->retain(), std::chrono::milliseconds(2));
    queue->sync([&] { pacer->start([&] { ++ticks; }); });
    const auto deadline = Clock::now() + 10s;
    while (ticks < 5 && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_GE(ticks, 5);
    int atStop = 0;
    queue->sync([&] {
        pacer->stop();
        atStop = ticks;
    });
    std::this_thread::sleep_for(50ms);
    queue->sync([] {});
    EXPECT_EQ(ticks, atStop);
    EXPECT_FALSE(pacer->running());

    std::atomic<int> selfStopped{0};
    queue->sync([&] {
        pacer->start([&] {
            ++selfStopped;
            pacer->stop();
        });
    });
    std::this_thread::sleep_for(50ms);
    queue->sync([] {});
    EXPECT_EQ(selfStopped, 1);
}

}  // namespace
}  // namespace vl
