#include "phantomScreen/tests/TestSupport.h"

#include "base/testing/ManualClock.h"

namespace vl {
namespace {

using namespace std::chrono_literals;

// A main display and a virtual display (vendor 2028, model 1217) that mirrors it.
class WaitForPhantomScreenTest : public ::testing::Test {
  protected:
    void SetUp() override {
        arrangement.addDisplay(FakeDisplayService::make(1, {0, 0, 2560, 1440}));
        auto mirrored = FakeDisplayService::make(5, {0, 0, 1920, 1080}, 1);
        mirrored.vendor = 2028;
        mirrored.model = 1217;
        arrangement.addDisplay(mirrored);
    }

    vl::testing::ManualClock clock;
    FakeDisplayService arrangement;
    std::shared_ptr<PhantomScreenService> service = std::make_shared<PhantomScreenService>(
        std::make_shared<PhantomScreenInf>(arrangement, DispatchQueue::main()),
        DispatchQueue::global(), clock);
};

// One wait's calls and result. Completions run while the clock is advanced, before it returns.
struct Wait {
    int calls = 0;
    std::optional<DisplayID> id;
    Clock::duration elapsed{};
};

std::shared_ptr<Wait> startWait(PhantomScreenService& service, vl::testing::ManualClock& clock,
                                double timeout) {
    auto wait = std::make_shared<Wait>();
    service.waitForPhantomScreen(
        timeout, [wait, &clock, started = clock.now()](std::optional<DisplayID> id) {
            if (++wait->calls > 1) return;
            wait->id = id;
            wait->elapsed = clock.now() - started;
        });
    return wait;
}

TEST_F(WaitForPhantomScreenTest, WaitingTimesOutAfterTheTimeoutAndNeverBeforeTheFirstPoll) {
    arrangement.removeDisplay(5);
    auto immediate = startWait(*service, clock, 0.0);
    auto full = startWait(*service, clock, 5.0);

    clock.advance(199ms);
    EXPECT_EQ(immediate->calls, 0);
    clock.advance(1ms);
    EXPECT_EQ(immediate->calls, 1);
    EXPECT_EQ(immediate->id, std::nullopt);
    EXPECT_EQ(immediate->elapsed, 200ms);

    clock.advance(4799ms);
    EXPECT_EQ(full->calls, 0);
    clock.advance(1ms);
    EXPECT_EQ(full->calls, 1);
    EXPECT_EQ(full->id, std::nullopt);
    EXPECT_EQ(full->elapsed, 5s);

    clock.advance(10s);
    EXPECT_EQ(immediate->calls, 1);
    EXPECT_EQ(full->calls, 1);
    EXPECT_EQ(clock.pendingCount(), 0u);
}

TEST_F(WaitForPhantomScreenTest, WaitingFindsADisplayThatComesOnline) {
    arrangement.update(5, [](FakeDisplayService::Display& d) { d.online = false; });
    auto wait = startWait(*service, clock, 5.0);
    clock.advance(500ms);
    EXPECT_EQ(wait->calls, 0);
    arrangement.update(5, [](FakeDisplayService::Display& d) { d.online = true; });
    clock.advance(100ms);  // the poll at 600 ms finds it
    EXPECT_EQ(wait->calls, 1);
    EXPECT_EQ(wait->id, 5u);
    EXPECT_EQ(wait->elapsed, 600ms);
    clock.advance(10s);
    EXPECT_EQ(wait->calls, 1);
}

TEST_F(WaitForPhantomScreenTest, AWaitWhoseServiceIsGoneEndsWithNoneOnce) {
    auto wait = startWait(*service, clock, 5.0);
    service.reset();
    clock.advance(200ms);
    EXPECT_EQ(wait->calls, 1);
    EXPECT_EQ(wait->id, std::nullopt);
    clock.advance(10s);
    EXPECT_EQ(wait->calls, 1);
}

}  // namespace
}  // namespace vl
