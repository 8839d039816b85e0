#include "phantomScreen/tests/TestSupport.h"

#include <atomic>
#include <future>

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

    FakeDisplayService arrangement;
    std::shared_ptr<PhantomScreenService> service =
        std::make_shared<PhantomScreenService>(std::make_shared<PhantomScreenInf>(arrangement));
};

struct Waited {
    std::optional<DisplayID> id;
    Clock::duration elapsed;
};

// One wait's own call count and result; shared with the completion so that a late second call
// is counted instead of touching a finished frame.
struct Wait {
    std::atomic<int> calls{0};
    std::promise<Waited> done;
};

std::shared_ptr<Wait> startWait(PhantomScreenService& service, double timeout) {
    auto wait = std::make_shared<Wait>();
    auto started = Clock::now();
    service.waitForPhantomScreen(timeout, [wait, started](std::optional<DisplayID> id) {
        if (++wait->calls == 1) wait->done.set_value({id, Clock::now() - started});
    });
    return wait;
}

std::optional<Waited> result(Wait& wait, Clock::duration limit) {
    auto future = wait.done.get_future();
    if (future.wait_for(limit) != std::future_status::ready) return std::nullopt;
    return future.get();
}

TEST_F(WaitForPhantomScreenTest, WaitingTimesOutAfterTheTimeoutAndNeverBeforeTheFirstPoll) {
    arrangement.removeDisplay(5);
    auto immediate = startWait(*service, 0.0);
    auto full = startWait(*service, 5.0);

    auto waited = result(*immediate, 2s);
    ASSERT_TRUE(waited);
    EXPECT_EQ(waited->id, std::nullopt);
    EXPECT_GE(waited->elapsed, 200ms);

    waited = result(*full, 10s);
    ASSERT_TRUE(waited);
    EXPECT_EQ(waited->id, std::nullopt);
    EXPECT_GE(waited->elapsed, 5s);
    EXPECT_LT(waited->elapsed, 7s);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(immediate->calls, 1);
    EXPECT_EQ(full->calls, 1);
}

TEST_F(WaitForPhantomScreenTest, WaitingFindsADisplayThatComesOnline) {
    arrangement.update(5, [](FakeDisplayService::Display& d) { d.online = false; });
    std::thread later([&] {
        std::this_thread::sleep_for(500ms);
        arrangement.update(5, [](FakeDisplayService::Display& d) { d.online = true; });
    });
    auto wait = startWait(*service, 5.0);
    auto waited = result(*wait, 10s);
    later.join();
    ASSERT_TRUE(waited);
    EXPECT_EQ(waited->id, 5u);
    EXPECT_GE(waited->elapsed, 500ms);
    EXPECT_LT(waited->elapsed, 2s);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(wait->calls, 1);
}

TEST_F(WaitForPhantomScreenTest, AWaitWhoseServiceIsGoneEndsWithNoneOnce) {
    auto wait = startWait(*service, 5.0);
    service.reset();
    auto waited = result(*wait, 2s);
    ASSERT_TRUE(waited);
    EXPECT_EQ(waited->id, std::nullopt);
    EXPECT_LT(waited->elapsed, 1s);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(wait->calls, 1);
}

}  // namespace
}  // namespace vl
