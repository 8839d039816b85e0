// The XTest backend against a private Xvfb, witnessed by a window of our own that records what
// the X server delivers, and by xdotool.
#include "platform/events/x11/X11EventsService.h"

#include "platform/capture/tests/XvfbServer.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <xcb/xcb.h>

#include <X11/keysym.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace vl {
namespace {

using namespace std::chrono_literals;

struct Seen {
    std::uint8_t type = 0;  // response type without the sent bit
    std::uint8_t detail = 0;
    int x = 0;
    int y = 0;
    std::uint16_t state = 0;
};

// A full-screen window with the input focus, recording the events it receives.
class WitnessWindow {
  public:
    explicit WitnessWindow(const std::string& display) {
        connection_ = xcb_connect(display.c_str(), nullptr);
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        window_ = xcb_generate_id(connection_);
        const std::uint32_t mask[] = {XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE |
                                      XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                      XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_EXPOSURE};
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0,
                          screen->width_in_pixels, screen->height_in_pixels, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_EVENT_MASK,
                          mask);
        xcb_map_window(connection_, window_);
        xcb_flush(connection_);
        waitFor(XCB_EXPOSE, 1);
        xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
        std::free(
            xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
        seen_.clear();
    }
    ~WitnessWindow() { xcb_disconnect(connection_); }

    // Waits until `count` events of the type arrived (or a second passed); all recorded so far.
    std::vector<Seen> waitFor(std::uint8_t type, std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + 1s;
        while (countOf(type) < count && std::chrono::steady_clock::now() < deadline) {
            pollfd fd{xcb_get_file_descriptor(connection_), POLLIN, 0};
            poll(&fd, 1, 20);
            while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
                record(event);
                std::free(event);
            }
        }
        return seen_;
    }
    std::vector<Seen> of(std::uint8_t type) const {
        std::vector<Seen> result;
        for (const Seen& s : seen_)
            if (s.type == type) result.push_back(s);
        return result;
    }
    void clear() { seen_.clear(); }

    // The keysym in a keycode's first column, as the keyboard is mapped now.
    std::uint32_t keysym(std::uint8_t keycode) {
        auto* reply = xcb_get_keyboard_mapping_reply(
            connection_, xcb_get_keyboard_mapping(connection_, keycode, 1), nullptr);
        if (!reply) return 0;
        const std::uint32_t keysym =
            reply->keysyms_per_keycode ? xcb_get_keyboard_mapping_keysyms(reply)[0] : 0;
        std::free(reply);
        return keysym;
    }
    int emptyKeycodes() {
        const xcb_setup_t* setup = xcb_get_setup(connection_);
        int empty = 0;
        for (int k = setup->min_keycode; k <= setup->max_keycode; ++k)
            empty += keysym(static_cast<std::uint8_t>(k)) == 0;
        return empty;
    }

  private:
    std::size_t countOf(std::uint8_t type) const { return of(type).size(); }
    void record(xcb_generic_event_t* event) {
        Seen s;
        s.type = event->response_type & 0x7F;
        switch (s.type) {
            case XCB_KEY_PRESS:
            case XCB_KEY_RELEASE:
            case XCB_BUTTON_PRESS:
            case XCB_BUTTON_RELEASE:
            case XCB_MOTION_NOTIFY: {
                // Key, button and motion events share one layout.
                auto* e = reinterpret_cast<xcb_key_press_event_t*>(event);
                s.detail = e->detail;
                s.x = e->event_x;
                s.y = e->event_y;
                s.state = e->state;
                break;
            }
            default:
                break;
        }
        seen_.push_back(s);
    }

    xcb_connection_t* connection_ = nullptr;
    xcb_window_t window_ = 0;
    std::vector<Seen> seen_;
};

PointerEvent pointer(PointerEventType type, DisplayPoint point, int button) {
    PointerEvent event;
    event.type = type;
    event.point = point;
    event.buttonNumber = button;
    return event;
}

std::string run(const std::string& command) {
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
        pclose(pipe);
    }
    return output;
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
    const std::string seen = run("DISPLAY=" + xvfb_->name() + " xdotool getmouselocation");
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
