// Idle-sleep prevention against a real X server whose screen saver starts after one idle second.
#include "platform/power/x11/X11Power.h"
#include "tests/display/TestDesktop.h"

#include <xcb/screensaver.h>

#include <thread>

namespace vl {
namespace {

using namespace std::chrono_literals;

class X11PowerTest : public testing::DesktopTest {
  protected:
    void SetUp() override {
        DesktopTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(testing::run("xset s 1 0 && xset s blank"), "");
        connection = xcb_connect(nullptr, nullptr);
        ASSERT_FALSE(xcb_connection_has_error(connection));
    }
    void TearDown() override {
        if (connection) xcb_disconnect(connection);
        DesktopTest::TearDown();
    }

    // Whether the server's screen saver is on now, as any client asks it.
    bool saverOn() {
        auto root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        std::unique_ptr<xcb_screensaver_query_info_reply_t, decltype(&std::free)> info(
            xcb_screensaver_query_info_reply(connection,
                                             xcb_screensaver_query_info(connection, root), nullptr),
            &std::free);
        EXPECT_TRUE(info);
        return info && info->state == XCB_SCREENSAVER_STATE_ON;
    }

    xcb_connection_t* connection = nullptr;
};

TEST_F(X11PowerTest, HoldsTheScreenSaverOffWhileAssertedAndWakesOnActivity) {
    X11Power power({}, reports.sink());
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(saverOn());  // the premise: idle for a second blanks the screen

    EXPECT_TRUE(power.declareUserActivity("client activity"));
    EXPECT_FALSE(saverOn());

    auto held = power.preventUserIdleDisplaySleep("client connected");
    ASSERT_TRUE(held);
    auto second = power.preventUserIdleDisplaySleep("second");
    ASSERT_TRUE(second);
    EXPECT_NE(*held, *second);
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(saverOn());

    // Held until the last display assertion goes.
    power.releaseAssertion(*held);
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(saverOn());
    power.releaseAssertion(*second);
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(saverOn());
}

TEST(X11Power, WithoutAnXServerNothingIsHeldAndThatIsReportedOnce) {
    testing::Reports reports;
    X11Power power(":99999", reports.sink());
    EXPECT_FALSE(power.preventUserIdleDisplaySleep("client connected"));
    EXPECT_FALSE(power.declareUserActivity("client activity"));
    EXPECT_EQ(reports.count("power: no X server reachable"), 1);
}

}  // namespace
}  // namespace vl
