// Input through Mutter's remote-desktop session reaching a Wayland client (the GTK witness),
// against a private headless Mutter.
#include "platform/events/mutter/MutterEventsService.h"
#include "platform/mutter/MutterVirtualMonitor.h"
#include "tests/wayland/MutterFixture.h"
#include "tests/wayland/PostedInput.h"
#include "tests/wayland/WaylandWitness.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace vl {
namespace {

using namespace std::chrono_literals;

using testing::eventually;

using testing::key;
using testing::pointer;
using testing::scroll;
using testing::typed;

class MutterInputTest : public testing::MutterFixture {
  protected:
    void SetUp() override {
        MutterFixture::SetUp();
        if (!ready()) return;
        addMonitor(1280, 720);
        if (!ready()) return;
        events = std::make_unique<MutterEventsService>(monitors, MutterEventsService::Options{});
        witness = std::make_unique<testing::WaylandWitness>(*desktop, 90, 90, 90);
        ASSERT_TRUE(eventually([&] { return witness->said("size 1280 720"); }, 20s))
            << witness->output();
        // The window is up; give it the pointer and the keyboard focus.
        ASSERT_TRUE(eventually([&] { return witness->said("fullscreen"); }, 20s))
            << witness->output();
        // Mutter zooms a window into fullscreen about the monitor's middle, so positions away
        // from it are right only once that is over: click near a corner until one lands there.
        int clicks = 0;
        ASSERT_TRUE(eventually([&] {
            if (++clicks % 25 == 1) click({100, 100});
            return witness->said("button 1 100 100");
        })) << witness->output()
            << desktop->mutterLog();
    }

    void click(DisplayPoint point, int button = 0) { testing::click(*events, point, button); }

    std::unique_ptr<MutterEventsService> events;
    std::unique_ptr<testing::WaylandWitness> witness;
};

TEST_F(MutterInputTest, ClicksLandWhereTheyWereAimed) {
    click({300.4, 200.2});
    EXPECT_TRUE(eventually([&] { return witness->said("button 1 300 200"); })) << witness->output();
    click({1000, 650}, 1);
    EXPECT_TRUE(eventually([&] { return witness->said("button 3 1000 650"); }))
        << witness->output();
    EXPECT_EQ(events->location(), (DisplayPoint{1000, 650}));
    // Off every monitor there is nowhere to put the pointer.
    EXPECT_TRUE(events->warp({5000, 5000}).has_value());
}

TEST_F(MutterInputTest, KeysByCodeWithModifiersAndTextByKeysym) {
    // Virtual key 0 is the A key: plain, then with Shift.
    EXPECT_TRUE(events->post(key(0, true)));
    EXPECT_TRUE(events->post(key(0, false)));
    EXPECT_TRUE(eventually([&] { return witness->said("key a U+0061"); })) << witness->output();
    EXPECT_TRUE(events->post(key(0, true, modifierFlag::shift)));
    EXPECT_TRUE(events->post(key(0, false)));
    EXPECT_TRUE(eventually([&] { return witness->said("key A U+0041"); })) << witness->output();

    // Text by keysym; "!" is on the second level of its key, so Mutter adds Shift itself.
    // Mutter 43 types only keysyms of the current layout: "€" and "Ä" do not reach a client
    // on its default US layout and are not asserted here.
    EXPECT_TRUE(events->post(typed("z!")));
    EXPECT_TRUE(eventually([&] { return witness->said("key z U+007A"); })) << witness->output();
    EXPECT_TRUE(eventually([&] { return witness->said("key exclam U+0021"); }))
        << witness->output();
}

TEST_F(MutterInputTest, ScrollsArriveAsSmoothPixelScrolls) {
    // GTK 3 reports a Wayland axis motion of n pixels as a smooth delta of n / 10. Up by 30 pixels
    // moves the content towards its top: a negative delta.
    EXPECT_TRUE(events->post(scroll(30)));
    EXPECT_TRUE(eventually([&] { return witness->said("scroll 0.0 -3.0"); })) << witness->output();
    EXPECT_TRUE(events->post(scroll(-50)));
    EXPECT_TRUE(eventually([&] { return witness->said("scroll 0.0 5.0"); })) << witness->output();
}

}  // namespace
}  // namespace vl
