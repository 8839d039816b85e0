// The XTest backend against a private Xvfb, witnessed by a window of our own that records what
// the X server delivers, and by xdotool.
#include "platform/events/x11/X11EventsService.h"

#include "base/testing/CommandOutput.h"
#include "platform/capture/tests/XvfbServer.h"
#include "platform/events/tests/WitnessWindow.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <xcb/xcb.h>

#include <X11/keysym.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vl {
namespace {

using namespace std::chrono_literals;
using test::Seen;
using test::WitnessWindow;

PointerEvent pointer(PointerEventType type, DisplayPoint point, int button) {
    PointerEvent event;
    event.type = type;
    event.point = point;
    event.buttonNumber = button;
    return event;
}

class X11EventsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { xvfb_ = new test::XvfbServer(1280, 800); }
    static void TearDownTestSuite() {
        delete xvfb_;
        xvfb_ = nullptr;
    }
    void SetUp() override {
        if (!xvfb_->running()) GTEST_SKIP() << "no private Xvfb";
        witness_ = std::make_unique<WitnessWindow>(xvfb_->name());
        events_ = open(CommandKey::control);
        ASSERT_TRUE(events_);
    }
    void TearDown() override {
        events_.reset();
        witness_.reset();
    }
    std::unique_ptr<X11EventsService> open(CommandKey command) {
        X11EventsService::Options options;
        options.display = xvfb_->name();
        options.commandKey = command;
        return X11EventsService::open(options);
    }

    static test::XvfbServer* xvfb_;
    std::unique_ptr<WitnessWindow> witness_;
    std::unique_ptr<X11EventsService> events_;
};
test::XvfbServer* X11EventsTest::xvfb_ = nullptr;

TEST_F(X11EventsTest, WarpAndLocationAgreeWithAnIndependentWitness) {
    ASSERT_FALSE(events_->warp({123, 456}));
    EXPECT_EQ(events_->location(), (DisplayPoint{123, 456}));
    const std::string seen =
        testing::commandOutput("DISPLAY=" + xvfb_->name() + " xdotool getmouselocation");
    EXPECT_NE(seen.find("x:123 y:456"), std::string::npos) << seen;
}

TEST_F(X11EventsTest, ButtonsAndMotionArriveWhereTheyWereSent) {
    ASSERT_TRUE(events_->post(pointer(PointerEventType::leftDown, {200, 100}, 0)));
    ASSERT_TRUE(events_->post(pointer(PointerEventType::leftDragged, {260, 140}, 0)));
    ASSERT_TRUE(events_->post(pointer(PointerEventType::leftUp, {260, 140}, 0)));
    ASSERT_TRUE(events_->post(pointer(PointerEventType::rightDown, {300, 150}, 1)));
    ASSERT_TRUE(events_->post(pointer(PointerEventType::rightUp, {300, 150}, 1)));
    ASSERT_TRUE(events_->post(pointer(PointerEventType::otherDown, {310, 150}, 2)));
    ASSERT_TRUE(events_->post(pointer(PointerEventType::otherUp, {310, 150}, 2)));
    witness_->waitFor(XCB_BUTTON_RELEASE, 3);
    const auto presses = witness_->of(XCB_BUTTON_PRESS);
    const auto releases = witness_->of(XCB_BUTTON_RELEASE);
    ASSERT_EQ(presses.size(), 3u);
    ASSERT_EQ(releases.size(), 3u);
    EXPECT_EQ(presses[0].detail, 1);
    EXPECT_EQ(presses[0].x, 200);
    EXPECT_EQ(presses[0].y, 100);
    EXPECT_EQ(releases[0].x, 260);
    EXPECT_EQ(releases[0].y, 140);
    EXPECT_EQ(presses[1].detail, 3);
    EXPECT_EQ(presses[2].detail, 2);
    const auto motion = witness_->of(XCB_MOTION_NOTIFY);
    ASSERT_FALSE(motion.empty());
    EXPECT_TRUE(std::any_of(motion.begin(), motion.end(), [](const Seen& s) {
        return s.x == 260 && s.y == 140 && (s.state & XCB_BUTTON_MASK_1);
    }));
}

TEST_F(X11EventsTest, UnicodeTextArrivesExactlyAndTheKeyboardIsRestoredAfterwards) {
    const int emptyBefore = witness_->emptyKeycodes();
    const std::string text = "Grüße € 你好";
    ASSERT_TRUE(events_->post(KeyEvent{0, text, true, modifierFlag::shift}));
    ASSERT_TRUE(events_->post(KeyEvent{0, text, false, modifierFlag::shift}));
    const std::vector<std::uint32_t> expected{'G', 'r',       0xFC, 0xDF,      'e',
                                              ' ', 0x10020AC, ' ',  0x1004F60, 0x100597D};
    witness_->waitFor(XCB_KEY_RELEASE, expected.size());
    std::vector<std::uint32_t> typed;
    for (const Seen& press : witness_->of(XCB_KEY_PRESS)) {
        typed.push_back(witness_->keysym(press.detail));
        EXPECT_EQ(press.state & (XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL), 0);
    }
    EXPECT_EQ(typed, expected);
    EXPECT_LT(witness_->emptyKeycodes(), emptyBefore);
    events_.reset();
    EXPECT_EQ(witness_->emptyKeycodes(), emptyBefore);
}

// An Xlib program reads its keymap when it first translates a key, and from then on follows the
// server's map notifications. Typing into such a program, fresh each time as a newly opened
// window is, must lose no character to the spare keys remapped for the text, nor to a spare key
// remapped again within the text (it has more distinct characters than there are spare keys).
// xev is the witness: it prints each key's translation as it arrives.
TEST_F(X11EventsTest, TextIntoFreshXlibProgramsArrivesWhole) {
    const std::string text = "Grüße € — the quick brown fox jumps over the lazy dog";
    const std::string env = "DISPLAY=" + xvfb_->name() + " LC_ALL=C.UTF-8 ";
    char folder[] = "/tmp/vl-xev-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::string log = std::string(folder) + "/xev" + std::to_string(attempt);
        const std::string name = "vl-xev-witness-" + std::to_string(attempt);
        const std::string pid = testing::commandOutput(env + "xev -geometry 300x200+0+0 -name " +
                                                       name + " >" + log + " 2>&1 & echo $!");
        // Only a mapped window can take the focus: found by name alone, it may not be yet.
        testing::commandOutput(env + "xdotool search --sync --onlyvisible --name '^" + name +
                               "$' windowfocus --sync %1");
        events_ = open(CommandKey::control);  // spare keys remapped afresh
        ASSERT_TRUE(events_);
        ASSERT_TRUE(events_->post(KeyEvent{0, text, true, 0}));
        ASSERT_TRUE(events_->post(KeyEvent{0, text, false, 0}));
        // A key's press and release are both translated; the releases spell the text.
        std::string typed;
        for (int wait = 0; wait < 500 && typed != text; ++wait) {
            std::this_thread::sleep_for(20ms);
            typed.clear();
            const std::string lines = testing::commandOutput(
                "grep -A4 '^KeyRelease' " + log + " | sed -n 's/.*XLookupString gives " +
                "[0-9]* bytes: (.*) \"\\(.*\\)\"$/\\1/p'");
            for (char c : lines)
                if (c != '\n') typed += c;
        }
        testing::commandOutput("kill " + pid);
        events_.reset();
        EXPECT_EQ(typed, text) << "attempt " << attempt;
    }
    testing::commandOutput(std::string("rm -rf ") + folder);
}

TEST_F(X11EventsTest, TextLetsGoOfHeldModifiersAndPutsThemBack) {
    ASSERT_TRUE(events_->post(KeyEvent{56, "", true, modifierFlag::shift}));  // Shift held
    ASSERT_TRUE(events_->post(KeyEvent{0, "x", true, modifierFlag::shift}));
    witness_->waitFor(XCB_KEY_PRESS, 3);
    const auto presses = witness_->of(XCB_KEY_PRESS);
    ASSERT_EQ(presses.size(), 3u);  // Shift, x, Shift again
    EXPECT_EQ(witness_->keysym(presses[1].detail), 'x');
    EXPECT_EQ(presses[1].state & XCB_MOD_MASK_SHIFT, 0);
    EXPECT_EQ(witness_->keysym(presses[2].detail), XK_Shift_L);
    ASSERT_TRUE(events_->post(KeyEvent{56, "", false, 0}));
}

TEST_F(X11EventsTest, CommandActsAsControlOrSuperAndModifiersAreRestored) {
    ASSERT_TRUE(events_->post(KeyEvent{0, "", true, modifierFlag::command}));
    ASSERT_TRUE(events_->post(KeyEvent{0, "", false, modifierFlag::command}));
    witness_->waitFor(XCB_KEY_RELEASE, 2);
    auto presses = witness_->of(XCB_KEY_PRESS);
    ASSERT_EQ(presses.size(), 2u);
    EXPECT_EQ(witness_->keysym(presses[0].detail), XK_Control_L);
    EXPECT_EQ(witness_->keysym(presses[1].detail), XK_a);
    EXPECT_TRUE(presses[1].state & XCB_MOD_MASK_CONTROL);
    // Control is let go right after the press, so nothing stays held.
    EXPECT_EQ(witness_->of(XCB_KEY_RELEASE).size(), 2u);

    witness_->clear();
    events_ = open(CommandKey::super);
    ASSERT_TRUE(events_->post(KeyEvent{0, "", true, modifierFlag::command}));
    ASSERT_TRUE(events_->post(KeyEvent{0, "", false, 0}));
    witness_->waitFor(XCB_KEY_RELEASE, 2);
    presses = witness_->of(XCB_KEY_PRESS);
    ASSERT_EQ(presses.size(), 2u);
    EXPECT_EQ(witness_->keysym(presses[0].detail), XK_Super_L);
    EXPECT_EQ(presses[1].state & XCB_MOD_MASK_CONTROL, 0);
    EXPECT_NE(presses[1].state & ~(XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_LOCK), 0);
}

TEST_F(X11EventsTest, KeyCodesForReturnAndArrowsUseTheCurrentKeymap) {
    ASSERT_TRUE(events_->post(KeyEvent{36, "", true, 0}));
    ASSERT_TRUE(events_->post(KeyEvent{36, "", false, 0}));
    ASSERT_TRUE(events_->post(KeyEvent{126, "", true, 0}));
    ASSERT_TRUE(events_->post(KeyEvent{126, "", false, 0}));
    EXPECT_FALSE(events_->post(KeyEvent{52, "", true, 0}));  // no such key
    witness_->waitFor(XCB_KEY_RELEASE, 2);
    const auto presses = witness_->of(XCB_KEY_PRESS);
    ASSERT_EQ(presses.size(), 2u);
    EXPECT_EQ(witness_->keysym(presses[0].detail), XK_Return);
    EXPECT_EQ(witness_->keysym(presses[1].detail), XK_Up);
}

TEST_F(X11EventsTest, PixelScrollsBecomeWheelClicksKeepingTheRemainder) {
    const int perClick = X11EventsService::defaultPixelsPerWheelClick;
    ASSERT_TRUE(events_->post(ScrollEvent{-(2 * perClick + 20)}));
    ASSERT_TRUE(events_->post(ScrollEvent{perClick - 20}));  // other direction: its own sum
    ASSERT_TRUE(events_->post(ScrollEvent{-(perClick - 20)}));
    witness_->waitFor(XCB_BUTTON_RELEASE, 3);
    const auto presses = witness_->of(XCB_BUTTON_PRESS);
    ASSERT_EQ(presses.size(), 3u);
    for (const Seen& press : presses) EXPECT_EQ(press.detail, 5);
    ASSERT_TRUE(events_->post(ScrollEvent{2147483647}));
    witness_->waitFor(XCB_BUTTON_RELEASE, 3 + X11EventsService::maxClicksPerEvent);
    EXPECT_EQ(witness_->of(XCB_BUTTON_PRESS).size(), 3u + X11EventsService::maxClicksPerEvent);
}

}  // namespace
}  // namespace vl
