#include "libPhantomScreen/Exports.h"
#include "libPhantomScreen/Platform.h"
#include "libPhantomScreen/platform/fake/FakeVirtualDisplays.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

namespace vl::ps {
namespace {

class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        arrangement.addDisplay(FakeDisplayService::make(1, {0, 0, 2560, 1440}));
        installPlatform(virtuals);
    }
    void TearDown() override { installPlatform(nullptr); }

    FakeDisplayService arrangement;
    std::shared_ptr<FakeVirtualDisplays> virtuals =
        std::make_shared<FakeVirtualDisplays>(arrangement);
};

TEST_F(LibraryTest, ModeTableGrowsWithEachInit) {
    std::uint32_t id = 0;
    EXPECT_EQ(addDisplay(0, 0, &id), -1);  // no mode table yet
    EXPECT_EQ(getModeCount(), 0);

    initLib();
    EXPECT_EQ(getModeCount(), 10);
    EXPECT_EQ(getModeWidth(6), 8160);
    EXPECT_EQ(getModeHeight(6), 7200);
    EXPECT_FLOAT_EQ(getModeRefreshRate(9), 90.0f);
    EXPECT_EQ(addDisplay(10, 0, &id), -1);
    EXPECT_EQ(addDisplay(-1, 0, &id), -1);
    EXPECT_EQ(id, 0u);

    initLib();
    EXPECT_EQ(getModeCount(), 20);
    ASSERT_EQ(addDisplay(10, 0, &id), 0);
    EXPECT_EQ(arrangement.bounds(id), (DisplayRect{2560, 0, 1280, 720}));
    EXPECT_EQ(isVirtualMonitor(id), 1);
    EXPECT_EQ(isVirtualMonitor(1), -1);
    EXPECT_EQ(isVirtualMonitor(12345), -1);
}

TEST_F(LibraryTest, PortraitStartsRotatedAndListsBothOrientations) {
    initLib();
    std::uint32_t id = 0;
    ASSERT_EQ(addDisplay(1, 1, &id), 0);
    auto settings = virtuals->settings(id);
    ASSERT_TRUE(settings);
    EXPECT_NE(settings->hiDPI, 0u);
    EXPECT_EQ(settings->modes,
              (std::vector<VirtualDisplayMode>{{1080, 1920, 90.0}, {1920, 1080, 90.0}}));
    EXPECT_EQ(arrangement.bounds(id).width, 1080);
}

TEST_F(LibraryTest, SlotsAreReusedLowestFirstWithTheirNames) {
    initLib();
    std::uint32_t first = 0, second = 0, again = 0;
    ASSERT_EQ(addDisplay(0, 0, &first), 0);
    ASSERT_EQ(addDisplay(0, 0, &second), 1);
    EXPECT_STREQ(getDisplayName(0), "Corvane");
    EXPECT_STREQ(getDisplayName(1), "Corvane_1");
    EXPECT_EQ(getSerialNumber(1), 171112u);
    EXPECT_EQ(getVendorID(1), 2028u);
    EXPECT_EQ(getProductID(1), 1217u);

    EXPECT_EQ(stop(0), 0);
    EXPECT_FALSE(virtualMonitorOn(0));
    EXPECT_EQ(getDisplayName(0), nullptr);
    EXPECT_EQ(getSerialNumber(0), 0u);
    EXPECT_FALSE(arrangement.display(first));

    ASSERT_EQ(addDisplay(2, 0, &again), 0);
    EXPECT_STREQ(getDisplayName(0), "Corvane");
    EXPECT_EQ(getSerialNumber(0), 171111u);
    EXPECT_NE(again, second);
}

TEST_F(LibraryTest, AFifthDisplayMayJoinFourButNotFive) {
    initLib();
    std::uint32_t id = 0;
    for (int i = 0; i < 5; ++i) ASSERT_EQ(addDisplay(0, 0, &id), i);
    id = 0;
    EXPECT_EQ(addDisplay(0, 0, &id), -1);
    EXPECT_EQ(id, 0u);
    closeLib();
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(virtualMonitorOn(i));
    EXPECT_EQ(arrangement.onlineDisplayList(32).value, std::vector<DisplayID>{1});
}

TEST_F(LibraryTest, StartOnTheSameSizeLeavesTheIdAlone) {
    initLib();
    std::uint32_t id = 0;
    ASSERT_EQ(addDisplay(2, 0, &id), 0);
    std::uint32_t untouched = 77;
    EXPECT_EQ(start(0, 2, 0, &untouched), 1);
    EXPECT_EQ(untouched, 77u);

    std::uint32_t resized = 0;
    EXPECT_EQ(start(0, 3, 1, &resized), 0);
    EXPECT_EQ(resized, id);
    EXPECT_EQ(arrangement.bounds(id).width, 3840);
}

TEST_F(LibraryTest, StartWithDeMainMapsCodesAndUnmirrors) {
    initLib();
    setDisplayCount(1);
    std::uint32_t id = 0;
    EXPECT_EQ(startWithDeMain(0, 24, &id), -1);
    EXPECT_EQ(virtuals->created(), 0);
    EXPECT_EQ(id, 0u);

    int completedBefore = arrangement.counters().completed;
    EXPECT_EQ(startWithDeMain(0, 102, &id), 0);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(arrangement.bounds(id).width, 3440);
    auto counters = arrangement.counters();
    EXPECT_EQ(counters.completed, completedBefore + 1);
    EXPECT_EQ(counters.completeOptions.back(), ConfigureOption::permanently);
}

TEST_F(LibraryTest, SetDisplayCountKeepsTheCountOutsideOneToFour) {
    setDisplayCount(0);
    EXPECT_FALSE(virtualMonitorOn(0));
    EXPECT_EQ(stop(0), 0);   // one slot exists
    EXPECT_EQ(stop(1), -1);  // and only one
    setDisplayCount(3);
    EXPECT_EQ(stop(2), 0);
    setDisplayCount(5);
    EXPECT_EQ(stop(2), 0);
    EXPECT_EQ(stop(3), -1);

    setBasename("Desk");
    initLib();
    std::uint32_t id = 0;
    EXPECT_EQ(start(1, 0, 0, &id), 0);
    // Slots made by setDisplayCount keep sequence 0 until addDisplay numbers them.
    EXPECT_STREQ(getDisplayName(1), "Desk");
    setenv("USER", "someone", 1);
    EXPECT_STREQ(getAppSupportFolder(), "/Users/someone/Library/Application Support");
    unsetenv("USER");
    EXPECT_EQ(getAppSupportFolder(), nullptr);
}

TEST_F(LibraryTest, RefusedSettingsLeaveTheSlotOff) {
    initLib();
    virtuals->setRefusesSettings(true);
    std::uint32_t id = 0;
    EXPECT_EQ(addDisplay(1, 0, &id), -1);
    EXPECT_FALSE(virtualMonitorOn(0));
    EXPECT_EQ(startWithDeMain(0, 38, &id), -1);
    virtuals->setRefusesSettings(false);
    EXPECT_EQ(addDisplay(1, 0, &id), 0);  // the off slot is reused
}

TEST_F(LibraryTest, ANewSnapshotStopsEveryVirtualDisplay) {
    initLib();
    std::uint32_t id = 0;
    ASSERT_EQ(addDisplay(0, 0, &id), 0);
    initLib();
    EXPECT_FALSE(virtualMonitorOn(0));
    EXPECT_FALSE(arrangement.display(id));
}

TEST_F(LibraryTest, OutOfRangeSlotsAndModesAreRefused) {
    initLib();
    std::uint32_t id = 5;
    for (int slot : {-1, 1, 1000, INT_MIN, INT_MAX}) {
        EXPECT_EQ(start(slot, 0, 0, &id), -1);
        EXPECT_EQ(startWithDeMain(slot, 23, &id), -1);
        EXPECT_EQ(stop(slot), -1);
        EXPECT_EQ(initDisplay(slot), -1);
        EXPECT_EQ(closeDisplay(slot), -1);
        EXPECT_FALSE(virtualMonitorOn(slot));
        EXPECT_EQ(getDisplayName(slot), nullptr);
        EXPECT_EQ(getSerialNumber(slot), 0u);
        EXPECT_EQ(getProductID(slot), 0u);
        EXPECT_EQ(getVendorID(slot), 0u);
        EXPECT_EQ(getModeWidth(slot), slot == 1 ? 1920 : 0);
        EXPECT_EQ(getModeHeight(slot), slot == 1 ? 1080 : 0);
    }
    setDisplayCount(1);
    EXPECT_EQ(start(0, 10, 0, &id), -1);
    EXPECT_EQ(start(0, INT_MIN, 0, nullptr), -1);
    EXPECT_EQ(id, 5u);
    EXPECT_EQ(addDisplay(INT_MAX, 1, nullptr), -1);
    EXPECT_EQ(nsString2char(nullptr), nullptr);
    PSString text{"ab\0c", 4};
    EXPECT_EQ(std::string(nsString2char(&text), 4), std::string("ab\0c", 4));
}

TEST_F(LibraryTest, CursorIsKeptOffVirtualDisplays) {
    initLib();
    std::uint32_t id = 0;
    ASSERT_EQ(addDisplay(1, 0, &id), 0);  // at x 2560..4480

    PSEvent onPhysical{psEventMouseMoved, 100, 50};
    EXPECT_EQ(cursorEventCallback(nullptr, psEventMouseMoved, &onPhysical, nullptr), &onPhysical);
    PSEvent nearEdge{psEventMouseMoved, 2555, 60};  // probe lands on the virtual display
    EXPECT_EQ(cursorEventCallback(nullptr, psEventMouseMoved, &nearEdge, nullptr), &nearEdge);
    ASSERT_EQ(virtuals->warps().size(), 1u);
    EXPECT_EQ(virtuals->warps()[0], (DisplayPoint{100, 50}));

    PSEvent key{10, 3000, 10};
    EXPECT_EQ(cursorEventCallback(nullptr, 10, &key, nullptr), &key);
    EXPECT_EQ(cursorEventCallback(nullptr, psEventMouseMoved, nullptr, nullptr), nullptr);
    EXPECT_EQ(virtuals->warps().size(), 1u);
    EXPECT_EQ(key.x, 3000);
    EXPECT_STREQ(getVersion(), "1.1.0");
}

}  // namespace
}  // namespace vl::ps
