#include "base/testing/CommandOutput.h"
#include "platform/desktop/XAuthority.h"
#include "platform/desktop/XorgConfiguration.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>

namespace vl {
namespace {

TEST(XorgConfiguration, FramebufferHoldsTheVirtualDisplaysWithinXLimits) {
    // Five of the largest mode beside the main display would exceed X's limit: capped.
    auto size = framebufferFor({});
    EXPECT_EQ(size, (FramebufferSize{32760, 8160, 1044480}));
    EXPECT_GE(size.videoRamKiB * 1024, std::uint64_t(size.width) * size.height * 4);

    DesktopGeometry one;
    one.maxVirtualDisplays = 1;
    one.largestModeLongSide = 2560;
    size = framebufferFor(one);
    EXPECT_EQ(size.width, 1920 + 2560);
    EXPECT_EQ(size.height, 2560);

    DesktopGeometry odd;
    odd.mainWidth = 1366;
    odd.mainHeight = 768;
    odd.maxVirtualDisplays = 0;
    odd.largestModeLongSide = 0;
    size = framebufferFor(odd);
    EXPECT_EQ(size.width % 8, 0);
    EXPECT_GE(size.width, 1366);
    EXPECT_GE(size.height, 768);
}

TEST(XorgConfiguration, NamesTheDummyDriverTheSizeAndTheInitialMode) {
    auto text = xorgConfiguration({});
    EXPECT_NE(text.find("Driver \"dummy\""), std::string::npos);
    EXPECT_NE(text.find("VideoRam 1044480\n"), std::string::npos);
    EXPECT_NE(text.find("Virtual 32760 8160\n"), std::string::npos);
    EXPECT_NE(text.find("Modeline \"1920x1080_60\" 148.50 1920 2008 2052 2200 1080 1084 1089 1125"),
              std::string::npos);
    EXPECT_NE(text.find("Modes \"1920x1080_60\""), std::string::npos);
}

TEST(XAuthority, TheCookieFileReadsBackWithXauth) {
    auto folder =
        std::filesystem::path("/tmp/vl-display") / ("xauth-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    auto file = (folder / "cookie").string();
    XCookie cookie{};
    for (std::size_t i = 0; i < cookie.size(); ++i) cookie[i] = std::uint8_t(0xa0 + i);
    ASSERT_TRUE(writeXAuthority(file, 73, cookie));
    EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    const std::string listed = vl::testing::commandOutput("xauth -f " + file + " list 2>&1");
    EXPECT_NE(listed.find(":73  MIT-MAGIC-COOKIE-1  a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"),
              std::string::npos)
        << listed;

    auto a = randomCookie(), b = randomCookie();
    ASSERT_TRUE(a && b);
    EXPECT_NE(*a, *b);
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace vl
