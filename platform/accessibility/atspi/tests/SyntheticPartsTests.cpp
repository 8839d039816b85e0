// The thumb and divider that toolkits draw without publishing, computed from what they publish.
#include "platform/accessibility/atspi/SyntheticParts.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vl::atspi {
namespace {

TEST(ScrollThumb, FollowsTheValueAlongTheTrack) {
    // A list 4600 pixels long in a 482-pixel view: the page is the bar's length.
    const DisplayRect bar{326, 118, 15, 482};
    const ValueRange top{0, 4118, 0};
    const auto atTop = scrollThumbFrame(bar, ElementOrientation::vertical, top);
    ASSERT_TRUE(atTop);
    EXPECT_DOUBLE_EQ(atTop->y, 118);
    EXPECT_NEAR(atTop->height, 482.0 * 482.0 / 4600.0, 1e-9);
    EXPECT_EQ(atTop->x, bar.x);
    EXPECT_EQ(atTop->width, bar.width);

    const auto atEnd = scrollThumbFrame(bar, ElementOrientation::vertical, {0, 4118, 4118});
    ASSERT_TRUE(atEnd);
    EXPECT_DOUBLE_EQ(atEnd->maxY(), bar.maxY());

    const auto halfway = scrollThumbFrame(bar, ElementOrientation::vertical, {0, 4118, 2059});
    ASSERT_TRUE(halfway);
    EXPECT_NEAR(halfway->minY() - bar.minY(), bar.maxY() - halfway->maxY(), 1e-9);
}

TEST(ScrollThumb, HorizontalBarsShortLongRangesAndNothingToScroll) {
    const DisplayRect bar{0, 500, 300, 15};
    const auto thumb = scrollThumbFrame(bar, ElementOrientation::horizontal, {0, 300, 300});
    ASSERT_TRUE(thumb);
    EXPECT_DOUBLE_EQ(thumb->width, 150);
    EXPECT_DOUBLE_EQ(thumb->x, 150);
    EXPECT_EQ(thumb->height, 15);

    // A huge document still leaves a thumb one can grab.
    const auto tiny = scrollThumbFrame(bar, ElementOrientation::horizontal, {0, 1e9, 0});
    ASSERT_TRUE(tiny);
    EXPECT_DOUBLE_EQ(tiny->width, 16);

    // Nothing to scroll: the thumb fills the track; values outside the range stay on it.
    EXPECT_EQ(scrollThumbFrame(bar, ElementOrientation::horizontal, {0, 0, 0}), bar);
    const auto beyond = scrollThumbFrame(bar, ElementOrientation::horizontal, {0, 300, 900});
    ASSERT_TRUE(beyond);
    EXPECT_DOUBLE_EQ(beyond->maxX(), bar.maxX());

    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(scrollThumbFrame(bar, ElementOrientation::horizontal, {0, nan, 0}));
    EXPECT_FALSE(scrollThumbFrame({0, 0, 0, 15}, ElementOrientation::horizontal, {0, 10, 0}));
}

TEST(Divider, TheGapBetweenThePanesWidenedToBeFound) {
    const DisplayRect group{41, 118, 760, 482};
    const DisplayRect left{41, 118, 300, 482};
    const DisplayRect right{346, 118, 455, 482};
    // A 5-pixel gap grows to 6, centred on it.
    const auto divider = dividerFrame(group, true, left, right, 300.0);
    ASSERT_TRUE(divider);
    EXPECT_DOUBLE_EQ(divider->x + divider->width / 2, 343.5);
    EXPECT_DOUBLE_EQ(divider->width, 6);
    EXPECT_EQ(divider->y, group.y);
    EXPECT_EQ(divider->height, group.height);

    // Panes above each other with a wide gap keep it as it is.
    const auto across = dividerFrame(group, false, DisplayRect{41, 118, 760, 200},
                                     DisplayRect{41, 328, 760, 272}, std::nullopt);
    ASSERT_TRUE(across);
    EXPECT_EQ(*across, (DisplayRect{41, 318, 760, 10}));
}

TEST(Divider, OnePaneShownFallsBackToThePosition) {
    const DisplayRect group{100, 0, 400, 300};
    const auto divider =
        dividerFrame(group, true, DisplayRect{100, 0, 400, 300}, std::nullopt, 120.0);
    ASSERT_TRUE(divider);
    EXPECT_DOUBLE_EQ(divider->x + divider->width / 2, 220);
    EXPECT_FALSE(dividerFrame(group, true, std::nullopt, std::nullopt, std::nullopt));
    EXPECT_FALSE(dividerFrame(group, true, std::nullopt, std::nullopt, std::nan("")));
}

}  // namespace
}  // namespace vl::atspi
