// The display service and the virtual display platform on a private headless Mutter: displays the
// platform makes are Mutter's monitors with our identity, moved through DisplayConfig, and gone
// with their display object.
#include "libPhantomScreen/platform/mutter/MutterVirtualDisplays.h"
#include "platform/display/mutter/MutterDisplayService.h"
#include "platform/mutter/MutterDisplayConfig.h"
#include "tests/wayland/DisplayDescriptors.h"
#include "tests/wayland/MutterFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace vl {
namespace {

using namespace std::chrono_literals;

using testing::descriptorNamed;

ps::VirtualDisplaySettings sized(std::uint32_t width, std::uint32_t height) {
    return {.hiDPI = 0, .modes = {{width, height, 30}, {height, width, 30}}};
}

class MutterDisplayServiceTest : public testing::MutterFixture {
  protected:
    void SetUp() override {
        MutterFixture::SetUp();
        if (!ready()) return;
        monitors = std::make_shared<MutterMonitors>(bus);
        displays = std::make_shared<MutterDisplayService>(
            monitors, [this](const std::string& text) { reports.push_back(text); });
        platform = std::make_unique<ps::MutterVirtualDisplays>(
            monitors, displays, nullptr,
            [this](const std::string& text) { reports.push_back(text); });
    }

    // Where DisplayConfig itself says the monitor sits.
    std::optional<std::pair<int, int>> originInMutter(DisplayID display) {
        auto state = currentDisplayState(*monitors->bus());
        if (!state) return std::nullopt;
        for (const auto& monitor : state->monitors)
            if (displayIDForConnector(monitor.connector) == display && monitor.x)
                return std::pair{*monitor.x, *monitor.y};
        return std::nullopt;
    }

    std::shared_ptr<MutterMonitors> monitors;
    std::shared_ptr<MutterDisplayService> displays;
    std::unique_ptr<ps::MutterVirtualDisplays> platform;
    std::vector<std::string> reports;
};

TEST_F(MutterDisplayServiceTest, VirtualDisplaysAreMonitorsWithOurIdentityMovedAndRemoved) {
    auto wide = platform->createDisplay(descriptorNamed("Vantrel", 0x5000));
    auto small = platform->createDisplay(descriptorNamed("Vantrel_1", 0x5001));
    EXPECT_EQ(wide->displayID(), nullDisplayID) << "a display appears once its mode is applied";
    ASSERT_TRUE(wide->applySettings(sized(1280, 720))) << ::testing::PrintToString(reports);
    ASSERT_TRUE(small->applySettings(sized(640, 480))) << ::testing::PrintToString(reports);
    const DisplayID a = wide->displayID();
    const DisplayID b = small->displayID();
    ASSERT_NE(a, nullDisplayID);
    ASSERT_NE(a, b);

    auto active = displays->activeDisplayList(maxDisplays);
    ASSERT_TRUE(active.ok());
    EXPECT_EQ(active.value.size(), 2u);
    EXPECT_EQ(displays->mainDisplay(), active.value.front()) << "the main display comes first";
    for (DisplayID id : {a, b}) {
        EXPECT_NE(std::find(active.value.begin(), active.value.end(), id), active.value.end());
        EXPECT_TRUE(displays->isOnline(id));
        EXPECT_EQ(displays->vendorNumber(id), 2028u);
        EXPECT_EQ(displays->modelNumber(id), 1217u);
    }
    EXPECT_EQ(displays->serialNumber(a), 0x5000u);
    EXPECT_EQ(displays->serialNumber(b), 0x5001u);
    EXPECT_EQ(displays->bounds(a).width, 1280);
    EXPECT_EQ(displays->bounds(a).height, 720);
    ASSERT_EQ(displays->modes(b).size(), 1u);
    EXPECT_EQ(displays->modes(b).front().pixelWidth, 640);

    // The small one first, the wide one "one unit right" of it: Mutter takes no gap, so the wide
    // one lands on the edge.
    auto configuration = displays->beginConfiguration();
    ASSERT_TRUE(configuration.ok());
    EXPECT_EQ(configuration.value->configureMirrorOfDisplay(a, nullDisplayID),
              DisplayError::success);
    EXPECT_EQ(configuration.value->configureDisplayWithMode(a, displays->modes(a).front()),
              DisplayError::success);
    configuration.value->configureDisplayOrigin(b, 0, 0);
    configuration.value->configureDisplayOrigin(a, 641, 0);
    ASSERT_EQ(configuration.value->complete(ConfigureOption::permanently), DisplayError::success)
        << ::testing::PrintToString(reports);
    EXPECT_EQ(originInMutter(b), (std::pair{0, 0}));
    EXPECT_EQ(originInMutter(a), (std::pair{640, 0}));
    EXPECT_EQ(displays->bounds(a), (DisplayRect{640, 0, 1280, 720}));
    auto under = displays->displaysWithPoint({700, 10}, maxDisplays);
    EXPECT_EQ(under.value, std::vector<DisplayID>{a});

    // A size the stream was not made at cannot be set.
    DisplayMode other = displays->modes(a).front();
    other.pixelWidth = 1920;
    auto resize = displays->beginConfiguration();
    EXPECT_EQ(resize.value->configureDisplayWithMode(a, other), DisplayError::notSupported);

    small.reset();
    EXPECT_FALSE(displays->isOnline(b));
    EXPECT_EQ(displays->vendorNumber(b), 0u);
    EXPECT_EQ(displays->activeDisplayList(maxDisplays).value, std::vector<DisplayID>{a});
    wide.reset();
    EXPECT_TRUE(displays->activeDisplayList(maxDisplays).value.empty());
}

TEST_F(MutterDisplayServiceTest, ASizeMutterCannotShowIsRefusedWithAReport) {
    auto display = platform->createDisplay(descriptorNamed("Vantrel", 0x5000));
    EXPECT_FALSE(display->applySettings(sized(9000, 720))) << "beyond the descriptor's maximum";
    EXPECT_FALSE(display->applySettings({}));
    EXPECT_EQ(display->displayID(), nullDisplayID);
    EXPECT_TRUE(displays->activeDisplayList(maxDisplays).value.empty());
}

}  // namespace
}  // namespace vl
