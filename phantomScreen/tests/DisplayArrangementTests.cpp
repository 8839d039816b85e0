#include "phantomScreen/DisplayArrangement.h"
#include "phantomScreen/tests/TestSupport.h"

#include <atomic>
#include <future>

namespace vl {
namespace {

using namespace std::chrono_literals;

class DisplayArrangementTest : public ::testing::Test {
  protected:
    void SetUp() override {
        arrangement.addDisplay(FakeDisplayService::make(1, {0, 0, 2560, 1440}));
        auto mirrored = FakeDisplayService::make(5, {0, 0, 1920, 1080}, 1);
        mirrored.vendor = 2028;
        mirrored.model = 1217;
        arrangement.addDisplay(mirrored);
        PhantomScreenInf::setDisplayService(&arrangement);
    }
    void TearDown() override { PhantomScreenInf::setDisplayService(nullptr); }

    // Runs setDisplayExtended on the main queue and waits for its completion.
    std::optional<bool> extend(DisplayID display, int retries) {
        std::promise<bool> done;
        auto result = done.get_future();
        DispatchQueue::main().async([&] {
            arranger->setDisplayExtended(display, retries, [&](bool ok) { done.set_value(ok); });
        });
        if (result.wait_for(5s) != std::future_status::ready) return std::nullopt;
        return result.get();
    }

    testing::Reports reports;
    FakeDisplayService arrangement;
    std::shared_ptr<DisplayArrangement> arranger = DisplayArrangement::make(arrangement);
};

TEST_F(DisplayArrangementTest, UnmirrorsAndPlacesBesideTheMainDisplay) {
    EXPECT_EQ(extend(5, 5), true);
    EXPECT_EQ(arrangement.mirrorsDisplay(5), nullDisplayID);
    EXPECT_EQ(arrangement.bounds(5), (DisplayRect{2560, 0, 1920, 1080}));
    EXPECT_EQ(reports.count("✅ setDisplayExtended: virtual display set to extended mode at "
                            "(2560.0, 0.0)"),
              1);
}

TEST_F(DisplayArrangementTest, RetriesFourTimesWhileStillMirroredThenFails) {
    FakeDisplayService::Faults faults;
    faults.mirroringSticks = true;
    arrangement.setFaults(faults);
    EXPECT_EQ(extend(5, 5), false);
    EXPECT_EQ(reports.count("setDisplayExtended: display 5 still mirrored, retrying"), 4);
    EXPECT_EQ(reports.count("setDisplayExtended: display 5 still mirrored after moving from "
                            "(2560.0, 0.0) to (2560.0, 0.0)"),
              1);
    EXPECT_EQ(arrangement.counters().begun, 5);
}

TEST_F(DisplayArrangementTest, FailurePathsReportFalse) {
    EXPECT_EQ(extend(99, 5), false);
    EXPECT_EQ(reports.count("setDisplayExtended: display 99 is not online"), 1);

    FakeDisplayService::Faults faults;
    faults.origin = DisplayError::illegalArgument;
    arrangement.setFaults(faults);
    EXPECT_EQ(extend(5, 5), false);
    EXPECT_EQ(reports.count("CGConfigureDisplayOrigin failed: illegal argument"), 1);
    EXPECT_EQ(arrangement.counters().cancelled, 1);

    faults = {};
    faults.complete = DisplayError::failure;
    arrangement.setFaults(faults);
    EXPECT_EQ(extend(5, 5), false);
    EXPECT_EQ(reports.count("CGCompleteDisplayConfiguration failed: failure"), 1);
    EXPECT_EQ(arrangement.mirrorsDisplay(5), 1u);

    faults = {};
    faults.begin = DisplayError::failure;
    arrangement.setFaults(faults);
    EXPECT_EQ(extend(5, 5), false);
}

TEST_F(DisplayArrangementTest, RetriesStopWhenTheOwnerIsGone) {
    FakeDisplayService::Faults faults;
    faults.mirroringSticks = true;
    arrangement.setFaults(faults);
    std::atomic<int> calls{0};
    DispatchQueue::main().sync([&] { arranger->setDisplayExtended(5, 5, [&](bool) { ++calls; }); });
    arranger.reset();
    std::this_thread::sleep_for(400ms);
    DispatchQueue::main().sync([] {});
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(arrangement.counters().begun, 1);
}

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

std::shared_ptr<Wait> startWait(double timeout) {
    auto wait = std::make_shared<Wait>();
    auto started = Clock::now();
    DisplayArrangement::waitForPhantomScreen(timeout, [wait, started](std::optional<DisplayID> id) {
        if (++wait->calls == 1) wait->done.set_value({id, Clock::now() - started});
    });
    return wait;
}

std::optional<Waited> result(Wait& wait, Clock::duration limit) {
    auto future = wait.done.get_future();
    if (future.wait_for(limit) != std::future_status::ready) return std::nullopt;
    return future.get();
}

TEST_F(DisplayArrangementTest, WaitingTimesOutAfterTheTimeoutAndNeverBeforeTheFirstPoll) {
    arrangement.removeDisplay(5);
    auto immediate = startWait(0.0);
    auto full = startWait(5.0);

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

TEST_F(DisplayArrangementTest, WaitingFindsADisplayThatComesOnline) {
    arrangement.update(5, [](FakeDisplayService::Display& d) { d.online = false; });
    std::thread later([&] {
        std::this_thread::sleep_for(500ms);
        arrangement.update(5, [](FakeDisplayService::Display& d) { d.online = true; });
    });
    auto wait = startWait(5.0);
    auto waited = result(*wait, 10s);
    later.join();
    ASSERT_TRUE(waited);
    EXPECT_EQ(waited->id, 5u);
    EXPECT_GE(waited->elapsed, 500ms);
    EXPECT_LT(waited->elapsed, 2s);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(wait->calls, 1);
}

}  // namespace
}  // namespace vl
