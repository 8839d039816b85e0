#include "platform/display/fake/FakeDisplayService.h"

#include <gtest/gtest.h>

namespace vl {
namespace {

TEST(DisplayPointText, UsesShortestDecimalWithFraction) {
    EXPECT_EQ(describe(DisplayPoint{1920, 0}), "(1920.0, 0.0)");
    EXPECT_EQ(describe(DisplayPoint{-0.5, 1080.25}), "(-0.5, 1080.25)");
}

class FakeArrangement : public ::testing::Test {
  protected:
    void SetUp() override {
        fake.addDisplay(FakeDisplayService::make(1, {0, 0, 2560, 1440}));
        fake.addDisplay(FakeDisplayService::make(2, {0, 0, 1920, 1080}, 1));
    }
    FakeDisplayService fake;
};

TEST_F(FakeArrangement, MirrorSetsAndUnmirroring) {
    EXPECT_EQ(fake.mainDisplay(), 1u);
    EXPECT_EQ(fake.mirrorsDisplay(2), 1u);
    EXPECT_TRUE(fake.isInMirrorSet(1));
    EXPECT_TRUE(fake.isInMirrorSet(2));

    auto config = fake.beginConfiguration();
    ASSERT_TRUE(config.ok());
    EXPECT_EQ(config.value->configureMirrorOfDisplay(2, nullDisplayID), DisplayError::success);
    EXPECT_EQ(config.value->configureDisplayOrigin(2, 2560, 0), DisplayError::success);
    // Nothing changes before completion.
    EXPECT_EQ(fake.mirrorsDisplay(2), 1u);
    EXPECT_EQ(config.value->complete(ConfigureOption::permanently), DisplayError::success);
    EXPECT_EQ(fake.mirrorsDisplay(2), nullDisplayID);
    EXPECT_FALSE(fake.isInMirrorSet(1));
    EXPECT_EQ(fake.bounds(2), (DisplayRect{2560, 0, 1920, 1080}));
}

TEST_F(FakeArrangement, StickyMirroringCancelAndUnknownDisplays) {
    FakeDisplayService::Faults faults;
    faults.mirroringSticks = true;
    fake.setFaults(faults);
    auto config = fake.beginConfiguration();
    config.value->configureMirrorOfDisplay(2, nullDisplayID);
    config.value->complete(ConfigureOption::permanently);
    EXPECT_EQ(fake.mirrorsDisplay(2), 1u);

    auto cancelled = fake.beginConfiguration();
    EXPECT_EQ(cancelled.value->configureDisplayOrigin(99, 0, 0), DisplayError::illegalArgument);
    cancelled.value->configureDisplayOrigin(1, 500, 0);
    cancelled.value->cancel();
    EXPECT_EQ(fake.bounds(1).x, 0);
    EXPECT_EQ(fake.counters().cancelled, 1);
    EXPECT_EQ(fake.bounds(99), DisplayRect{});
    EXPECT_FALSE(fake.isOnline(99));
}

TEST_F(FakeArrangement, PointLookupAndListLimits) {
    fake.addDisplay(FakeDisplayService::make(3, {2560, 0, 1920, 1080}));
    EXPECT_EQ(fake.displaysWithPoint({3000, 10}, 1).value, std::vector<DisplayID>{3});
    EXPECT_TRUE(fake.displaysWithPoint({-5, 10}, 1).value.empty());
    EXPECT_EQ(fake.activeDisplayList(2).value.size(), 2u);
    FakeDisplayService::Faults faults;
    faults.list = DisplayError::failure;
    fake.setFaults(faults);
    EXPECT_EQ(fake.activeDisplayList(32).error, DisplayError::failure);
}

}  // namespace
}  // namespace vl
