#include "client/viewer/KeyInput.h"
#include "client/viewer/Letterbox.h"
#include "client/viewer/NewestSlot.h"
#include "client/viewer/ResizeDebounce.h"

#include <SDL2/SDL_keyboard.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace vl {
namespace {

TEST(Letterbox, FitsKeepingAspectWithBarsOnTheOtherAxis) {
    // Same aspect: the whole window, no bar.
    EXPECT_EQ(letterbox(1920, 1080, 1280, 720), (ViewRect{0, 0, 1280, 720}));
    // Wider window: bars left and right.
    EXPECT_EQ(letterbox(1280, 720, 1600, 720), (ViewRect{160, 0, 1280, 720}));
    // Taller window: bars above and below.
    EXPECT_EQ(letterbox(1280, 720, 640, 720), (ViewRect{0, 180, 640, 360}));
    EXPECT_EQ(letterbox(0, 720, 640, 720), ViewRect{});
    EXPECT_EQ(letterbox(1280, 720, 640, 0), ViewRect{});
}

TEST(Letterbox, WindowPointsBecomeFractionsOfTheItem) {
    const auto view = letterbox(1280, 720, 1600, 720);  // picture at x 160..1440
    auto centre = itemPosition(view, 800, 360);
    ASSERT_TRUE(centre);
    EXPECT_DOUBLE_EQ(centre->horz, 0.5);
    EXPECT_DOUBLE_EQ(centre->vert, 0.5);
    EXPECT_TRUE(centre->inside);
    auto corner = itemPosition(view, 160, 0);
    EXPECT_DOUBLE_EQ(corner->horz, 0);
    EXPECT_DOUBLE_EQ(corner->vert, 0);
    EXPECT_TRUE(corner->inside);
    // On the left bar: outside, with a negative position the server clamps to the edge.
    auto bar = itemPosition(view, 80, 360);
    EXPECT_FALSE(bar->inside);
    EXPECT_LT(bar->horz, 0);
    // The right edge itself is past the last pixel.
    EXPECT_FALSE(itemPosition(view, 1440, 360)->inside);
    EXPECT_FALSE(itemPosition(ViewRect{}, 1, 1));
}

using namespace std::chrono_literals;

TEST(ResizeDebounce, AsksOnceAfterTheUserStopsResizing) {
    ResizeDebounce debounce({1280, 720}, 400ms);
    const ResizeDebounce::Clock::time_point t0{};
    EXPECT_FALSE(debounce.deadline());
    // A drag: many sizes, each resetting the wait.
    for (int i = 1; i <= 10; ++i) debounce.resized({1280 + 10 * i, 720}, t0 + i * 50ms);
    EXPECT_FALSE(debounce.due(t0 + 500ms + 399ms));
    EXPECT_EQ(debounce.deadline(), t0 + 500ms + 400ms);
    EXPECT_EQ(debounce.due(t0 + 900ms), (PixelSize{1380, 720}));
    EXPECT_EQ(debounce.current(), (PixelSize{1380, 720}));
    EXPECT_FALSE(debounce.due(t0 + 2s));  // asked once only
    EXPECT_FALSE(debounce.deadline());
}

TEST(ResizeDebounce, ResizingBackToTheSizeInUseAsksNothing) {
    ResizeDebounce debounce({1280, 720}, 400ms);
    const ResizeDebounce::Clock::time_point t0{};
    debounce.resized({1000, 700}, t0);
    debounce.resized({1280, 720}, t0 + 100ms);
    EXPECT_FALSE(debounce.due(t0 + 5s));
    // The same size reported again does not restart the wait.
    debounce.resized({1000, 700}, t0 + 6s);
    debounce.resized({1000, 700}, t0 + 6s + 300ms);
    EXPECT_EQ(debounce.due(t0 + 6s + 400ms), (PixelSize{1000, 700}));
}

TEST(NewestSlot, KeepsOnlyTheNewestAndCountsTheDropped) {
    NewestSlot<int> slot;
    EXPECT_FALSE(slot.take());
    EXPECT_TRUE(slot.put(1));   // wakes the reader
    EXPECT_FALSE(slot.put(2));  // the reader is already woken
    EXPECT_FALSE(slot.put(3));
    EXPECT_EQ(slot.take(), 3);
    EXPECT_FALSE(slot.take());
    EXPECT_EQ(slot.dropped(), 2u);

    // What a put replaces comes back, for its memory to be used again.
    std::optional<int> replaced;
    EXPECT_TRUE(slot.put(4, &replaced));
    EXPECT_FALSE(replaced);
    EXPECT_FALSE(slot.put(5, &replaced));
    EXPECT_EQ(replaced, 4);
    EXPECT_EQ(slot.take(), 5);
    EXPECT_EQ(slot.dropped(), 3u);

    // A writer far faster than the reader: the reader sees increasing values, ends on the last.
    NewestSlot<int> fast;
    std::thread writer([&] {
        for (int i = 1; i <= 20000; ++i) fast.put(i);
    });
    int last = 0;
    bool increasing = true;
    while (last < 20000) {
        if (auto v = fast.take()) {
            increasing = increasing && *v > last;
            last = *v;
        }
    }
    writer.join();
    EXPECT_TRUE(increasing);
}

TEST(KeyMapping, ScancodesAreHidUsagesAndModifiersTheProtocolsBits) {
    EXPECT_EQ(hidUsage(SDL_SCANCODE_A), 0x04u);
    EXPECT_EQ(hidUsage(SDL_SCANCODE_RETURN), 0x28u);
    EXPECT_EQ(hidUsage(SDL_SCANCODE_UP), 0x52u);
    EXPECT_EQ(hidUsage(SDL_SCANCODE_RGUI), 0xE7u);
    EXPECT_FALSE(hidUsage(SDL_SCANCODE_UNKNOWN));
    EXPECT_FALSE(hidUsage(SDL_SCANCODE_AUDIONEXT));
    EXPECT_EQ(modifierFlags(KMOD_LSHIFT | KMOD_RCTRL, SDL_SCANCODE_A),
              modifier::shift | modifier::control);
    EXPECT_EQ(modifierFlags(KMOD_LALT | KMOD_LGUI | KMOD_CAPS, SDL_SCANCODE_A),
              modifier::option | modifier::command | modifier::capsLock);
    EXPECT_EQ(modifierFlags(KMOD_NUM, SDL_SCANCODE_KP_5), modifier::numericPad);
    EXPECT_EQ(modifierFlags(KMOD_NONE, SDL_SCANCODE_5), 0);
}

struct KeyRecorder {
    std::vector<KeyMessage> sent;
    std::vector<ViewerCommand> commands;
    KeyInput input{[this](const KeyMessage& m) { sent.push_back(m); },
                   [this](ViewerCommand c) { commands.push_back(c); }};
};

TEST(KeyInput, PrintableKeysCarryTheirTextOnPressAndRelease) {
    KeyRecorder r;
    r.input.keyDown(SDL_SCANCODE_LSHIFT, KMOD_LSHIFT);
    r.input.keyDown(SDL_SCANCODE_A, KMOD_LSHIFT);
    EXPECT_EQ(r.sent.size(), 1u);  // the letter waits for its text
    r.input.text("A");
    r.input.keyUp(SDL_SCANCODE_A, KMOD_LSHIFT);
    r.input.keyUp(SDL_SCANCODE_LSHIFT, KMOD_NONE);
    ASSERT_EQ(r.sent.size(), 4u);
    EXPECT_EQ(r.sent[0], (KeyMessage{0xE1, "", modifier::shift, true}));
    EXPECT_EQ(r.sent[1], (KeyMessage{0x04, "A", modifier::shift, true}));
    EXPECT_EQ(r.sent[2], (KeyMessage{0x04, "A", modifier::shift, false}));
    EXPECT_EQ(r.sent[3], (KeyMessage{0xE1, "", 0, false}));
}

TEST(KeyInput, ShortcutsAndControlKeysGoByCodeAlone) {
    KeyRecorder r;
    // Ctrl+C: the letter goes at once, with no text even if some arrives.
    r.input.keyDown(SDL_SCANCODE_C, KMOD_LCTRL);
    r.input.text("c");
    // Return types a carriage return, but is always a key code: its press goes at once.
    r.input.keyDown(SDL_SCANCODE_RETURN, KMOD_NONE);
    ASSERT_GE(r.sent.size(), 2u);
    EXPECT_EQ(r.sent[0], (KeyMessage{0x06, "", modifier::control, true}));
    // The stray text after a shortcut is typed on its own (an input method's commit).
    EXPECT_EQ(r.sent[1], (KeyMessage{0, "c", 0, true}));
    EXPECT_EQ(r.sent.back(), (KeyMessage{0x28, "", 0, true}));
    // A press whose text never comes goes without text at the end of the batch.
    r.sent.clear();
    r.input.keyDown(SDL_SCANCODE_F5, KMOD_NONE);
    EXPECT_TRUE(r.sent.empty());
    r.input.flush();
    ASSERT_EQ(r.sent.size(), 1u);
    EXPECT_EQ(r.sent[0], (KeyMessage{0x3E, "", 0, true}));
}

TEST(KeyInput, UnnamedKeysTypingTextGoAsTextAndViewerShortcutsStayLocal) {
    KeyRecorder r;
    // A keysym on a spare keycode (how test tools type €): no usage, but its text.
    r.input.keyDown(SDL_SCANCODE_UNKNOWN, KMOD_NONE);
    r.input.text("€");
    r.input.keyUp(SDL_SCANCODE_UNKNOWN, KMOD_NONE);
    ASSERT_EQ(r.sent.size(), 2u);
    EXPECT_EQ(r.sent[0], (KeyMessage{0, "€", 0, true}));
    EXPECT_EQ(r.sent[1], (KeyMessage{0, "€", 0, false}));
    // Such a key typing nothing is not sent at all.
    r.sent.clear();
    r.input.keyDown(SDL_SCANCODE_UNKNOWN, KMOD_NONE);
    r.input.flush();
    r.input.keyUp(SDL_SCANCODE_UNKNOWN, KMOD_NONE);
    EXPECT_TRUE(r.sent.empty());
    // Ctrl+Alt+G and Ctrl+Alt+S: commands, neither press nor release reaches the server.
    r.input.keyDown(SDL_SCANCODE_G, KMOD_LCTRL | KMOD_LALT);
    r.input.keyUp(SDL_SCANCODE_G, KMOD_LCTRL | KMOD_LALT);
    r.input.keyDown(SDL_SCANCODE_S, KMOD_RCTRL | KMOD_LALT);
    r.input.keyUp(SDL_SCANCODE_S, KMOD_NONE);
    EXPECT_TRUE(r.sent.empty());
    EXPECT_EQ(r.commands, (std::vector<ViewerCommand>{ViewerCommand::releaseGrab,
                                                      ViewerCommand::toggleStatus}));
}

TEST(KeyInput, LosingFocusReleasesEveryHeldKey) {
    KeyRecorder r;
    r.input.keyDown(SDL_SCANCODE_LCTRL, KMOD_LCTRL);
    r.input.keyDown(SDL_SCANCODE_B, KMOD_NONE);
    r.input.text("b");
    r.input.releaseAll();
    ASSERT_EQ(r.sent.size(), 4u);
    EXPECT_EQ(r.sent[2], (KeyMessage{0x05, "b", 0, false}));
    EXPECT_EQ(r.sent[3], (KeyMessage{0xE0, "", 0, false}));
    // Released keys are forgotten: their later key-up events are sent by code only.
    r.input.keyUp(SDL_SCANCODE_B, KMOD_NONE);
    EXPECT_EQ(r.sent.back(), (KeyMessage{0x05, "", 0, false}));
}

}  // namespace
}  // namespace vl
