#include "phantomScreen/DisplayArrangement.h"

#include "base/testing/ManualClock.h"
#include "phantomScreen/tests/TestSupport.h"

#include <atomic>

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
    }

    // Runs setDisplayExtended on the main queue, moving the clock on from retry to retry, and
    // gives its completion; none when it never completes.
    std::optional<bool> extend(DisplayID display, int retries) {
        std::optional<bool> result;
        DispatchQueue::main().sync(
            [&] { arranger->setDisplayExtended(display, retries, [&](bool ok) { result = ok; }); });
        // Each retry runs on the main queue within advance() and schedules the next one there.
        while (!result && clock.pendingCount() > 0) clock.advance(retryInterval);
        return result;
    }

    static constexpr auto retryInterval = 250ms;
    testing::Reports reports;
    FakeDisplayService arrangement;
    vl::testing::ManualClock clock;
    std::shared_ptr<DisplayArrangement> arranger =
        DisplayArrangement::make(arrangement, DispatchQueue::main(), clock);
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
    ASSERT_EQ(clock.pendingCount(), 1u);
    arranger.reset();
    clock.advance(5 * retryInterval);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(arrangement.counters().begun, 1);
}

}  // namespace
}  // namespace vl
