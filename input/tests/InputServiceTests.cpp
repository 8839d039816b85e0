#include "input/InputService.h"
#include "input/KeyCodes.h"
#include "input/ResizeGeometry.h"

#include "base/testing/LogCapture.h"
#include "base/testing/MainLoop.h"
#include "base/testing/ManualClock.h"
#include "platform/display/fake/FakeDisplayService.h"
#include "platform/events/fake/FakeEventsService.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace vl {
namespace {

[[maybe_unused]] auto* const mainLoop =
    ::testing::AddGlobalTestEnvironment(new vl::testing::MainLoopEnvironment);

constexpr DisplayID displayID = 7;
const DisplayRect displayBounds{1000, 0, 800, 600};

class FakeTargets final : public PointerTargets {
  public:
    std::optional<ScrollThumbAxis> thumb;
    bool screenshot = false;
    std::optional<ResizeTarget> resize;
    std::optional<DisplayPoint> divider;
    std::optional<DragTarget> drag;
    std::optional<std::uint32_t> window;
    std::vector<std::pair<WindowElement, DisplayPoint>> positions;
    std::vector<std::pair<double, double>> sizes;
    int raises = 0;

    std::optional<ScrollThumbAxis> scrollThumbAxis(DisplayPoint) override { return thumb; }
    bool isScreenshotSelectionActive() override { return screenshot; }
    std::optional<ResizeTarget> axResizeTarget(DisplayPoint) override { return resize; }
    std::optional<DisplayPoint> snapToDivider(DisplayPoint) override { return divider; }
    std::optional<DragTarget> axWindowForDrag(DisplayPoint) override { return drag; }
    std::optional<std::uint32_t> raiseWindowAtPoint(DisplayPoint) override {
        ++raises;
        return window;
    }
    std::optional<int> setWindowPosition(WindowElement element, DisplayPoint origin) override {
        positions.emplace_back(element, origin);
        return std::nullopt;
    }
    std::optional<int> setWindowSize(WindowElement, double width, double height) override {
        sizes.emplace_back(width, height);
        return std::nullopt;
    }
};

class InputTest : public ::testing::Test {
  protected:
    void SetUp() override { rebuild(); }

    void rebuild() {
        displays->addDisplay(FakeDisplayService::make(displayID, displayBounds));
        InputService::Services services;
        services.events = events;
        services.displays = displays;
        services.targets = targets;
        services.virtualDisplayIDs = [this] { return virtualDisplays; };
        services.snapActiveWindowIfCrossedDisplay = [this](bool right) {
            snapCalls.push_back(right);
            return snapAnswer;
        };
        services.raisesAtPress = [this] { return newer; };
        services.imeInputSourceActive = [this] { return ime; };
        services.systemUptime = [this] { return uptime; };
        services.doubleClickInterval = 0.5;
        services.queue = &DispatchQueue::main();
        services.clock = &clock;
        input = InputService::make(services);
    }

    void mouse(MouseEventKind kind, double x, double y, MouseButton button = MouseButton::left) {
        input->handleMouseEvent(MouseEvent{"s", button, kind, x, y}, displayID);
    }
    void key(std::uint32_t usage, std::string text, std::int64_t flags, bool down = true) {
        input->handleKeyboard(KeyboardEvent{"s", usage, std::move(text), flags, down});
    }
    // The posted records in order, for failure messages.
    std::string trace() const {
        std::string text;
        for (const auto& entry : events->posted()) {
            if (auto* event = std::get_if<PointerEvent>(&entry))
                text += std::string(description(event->type)) + "(" +
                        std::to_string(event->buttonNumber) + ") ";
            else if (std::holds_alternative<Warp>(entry))
                text += "warp ";
        }
        return text;
    }
    std::vector<PointerEventType> types() const {
        std::vector<PointerEventType> result;
        for (const auto& event : events->pointerEvents()) result.push_back(event.type);
        return result;
    }
    std::vector<DisplayPoint> warps() const {
        std::vector<DisplayPoint> result;
        for (const auto& entry : events->posted())
            if (auto* warp = std::get_if<Warp>(&entry)) result.push_back(warp->point);
        return result;
    }

    vl::testing::ManualClock clock;
    std::shared_ptr<FakeEventsService> events = std::make_shared<FakeEventsService>();
    std::shared_ptr<FakeDisplayService> displays = std::make_shared<FakeDisplayService>();
    std::shared_ptr<FakeTargets> targets = std::make_shared<FakeTargets>();
    std::vector<std::optional<DisplayID>> virtualDisplays{displayID};
    std::vector<bool> snapCalls;
    bool snapAnswer = false;
    bool newer = true;
    bool ime = false;
    double uptime = 100;
    std::shared_ptr<InputService> input;
};

using PT = PointerEventType;

// An event with no number, source, window or click state, as stale releases and hovers are.
PointerEvent plain(PT type, DisplayPoint point, int button = 0) {
    PointerEvent event;
    event.type = type;
    event.point = point;
    event.buttonNumber = button;
    return event;
}

TEST_F(InputTest, PositionsMapIntoTheDisplayAndClampOutOfRangeValues) {
    mouse(MouseEventKind::move, 0.5, 0.25);
    mouse(MouseEventKind::move, 1.5, -0.2);
    mouse(MouseEventKind::move, std::nan(""), std::numeric_limits<double>::infinity());
    const auto moved = events->pointerEvents();
    ASSERT_EQ(moved.size(), 3u);
    EXPECT_EQ(moved[0].point, (DisplayPoint{1400, 150}));
    EXPECT_EQ(moved[1].point, (DisplayPoint{1800, 0}));
    EXPECT_EQ(moved[2].point, (DisplayPoint{1800, 600}));     // not a number counts as 1
    EXPECT_EQ(moved[0], plain(PT::mouseMoved, {1400, 150}));  // no source, no number
    EXPECT_EQ(warps().size(), 3u);
}

TEST_F(InputTest, UnknownDisplayBoundsAreReportedAndNothingIsPosted) {
    vl::testing::LogCapture log;
    input->handleMouseEvent(MouseEvent{"s", MouseButton::left, MouseEventKind::down, 0.5, 0.5}, 99);
    EXPECT_TRUE(events->posted().empty());
    EXPECT_TRUE(log.contains("invalid display bounds for display 99"));
}

TEST_F(InputTest, PressDragReleaseFormOneGestureWithGrowingEventNumbers) {
    targets->window = 42;
    mouse(MouseEventKind::down, 0.5, 0.5);
    mouse(MouseEventKind::drag, 0.5 + 10.0 / 800, 0.5 + 5.0 / 600);
    mouse(MouseEventKind::up, 0.5 + 10.0 / 800, 0.5 + 5.0 / 600);
    const auto posted = events->pointerEvents();
    ASSERT_EQ(posted.size(), 3u);
    EXPECT_EQ(posted[0], (PointerEvent{PT::leftDown, {1400, 300}, 0, 1, 1, 1.0, 0, 0, 42, true}));
    EXPECT_EQ(posted[1].type, PT::leftDragged);
    EXPECT_EQ(posted[1].eventNumber, 2);
    EXPECT_DOUBLE_EQ(posted[1].deltaX, 10);
    EXPECT_DOUBLE_EQ(posted[1].deltaY, 5);
    EXPECT_EQ(posted[1].pressure, 1.0);
    EXPECT_EQ(posted[2].type, PT::leftUp);
    EXPECT_EQ(posted[2].clickState, 1);
    EXPECT_EQ(posted[2].eventNumber, 3);
    EXPECT_EQ(posted[2].pressure, 0.0);
    EXPECT_EQ(posted[2].windowNumber, 42u);
    // On the newer behaviour only the press warps; the drag and release do not.
    EXPECT_EQ(warps().size(), 1u);
    EXPECT_FALSE(input->isButtonActive(MouseButton::left));
}

TEST_F(InputTest, OlderBehaviourWarpsOnDragAndReleaseAndNeverRaises) {
    newer = false;
    targets->window = 42;
    targets->drag = DragTarget{5, {1300, 280, 300, 200}};
    mouse(MouseEventKind::down, 0.5, 0.5, MouseButton::right);
    mouse(MouseEventKind::drag, 0.6, 0.5, MouseButton::right);
    mouse(MouseEventKind::up, 0.6, 0.5, MouseButton::right);
    EXPECT_EQ(types(), (std::vector{PT::rightDown, PT::rightDragged, PT::rightUp}));
    for (const auto& event : events->pointerEvents()) {
        EXPECT_FALSE(event.sharedSource);
        EXPECT_FALSE(event.windowNumber);
        EXPECT_EQ(event.buttonNumber, 1);
    }
    EXPECT_EQ(warps().size(), 3u);
    EXPECT_EQ(targets->raises, 0);
    EXPECT_TRUE(targets->positions.empty());
}

TEST_F(InputTest, ALostReleaseIsPostedBeforeTheMove) {
    mouse(MouseEventKind::down, 0.5, 0.5, MouseButton::middle);
    mouse(MouseEventKind::move, 0.25, 0.5);
    const auto posted = events->pointerEvents();
    ASSERT_EQ(posted.size(), 3u);
    EXPECT_EQ(posted[0].type, PT::otherDown);
    EXPECT_EQ(posted[0].buttonNumber, 2);
    EXPECT_EQ(posted[1], plain(PT::otherUp, {1200, 300}, 2));  // no number, no source
    EXPECT_EQ(posted[2].type, PT::mouseMoved);
    EXPECT_FALSE(input->isButtonActive(MouseButton::middle));
}

TEST_F(InputTest, ClickCountsDependOnIntervalAndDistance) {
    auto pressAt = [&](double px) {
        input->postMouseDown(MouseButton::left, {1400 + px, 300});
        input->postMouseUp(MouseButton::left, {1400 + px, 300});
        return events->pointerEvents().back().clickState;
    };
    EXPECT_EQ(pressAt(0), 1);
    uptime += 0.2;
    EXPECT_EQ(pressAt(3), 2);
    uptime += 0.2;
    EXPECT_EQ(pressAt(6), 3);  // exactly 6.0 points from the last press still counts
    uptime += 0.2;
    EXPECT_EQ(pressAt(13), 1);  // 7 points
    uptime += 0.6;
    EXPECT_EQ(pressAt(13), 1);  // too late
    // Buttons count separately.
    input->postMouseDown(MouseButton::right, {1413, 300});
    EXPECT_EQ(events->pointerEvents().back().clickState, 1);
}

TEST_F(InputTest, AScrollThumbPressLocksTheCrossAxis) {
    targets->thumb = ScrollThumbAxis::vertical;
    input->postMouseDown(MouseButton::left, {1500, 100});
    input->postMouseDrag(MouseButton::left, {1520, 180});
    input->postMouseUp(MouseButton::left, {1530, 200});
    const auto posted = events->pointerEvents();
    ASSERT_EQ(posted.size(), 3u);
    EXPECT_EQ(posted[1].point, (DisplayPoint{1500, 180}));
    EXPECT_EQ(posted[1].deltaX, 0);
    EXPECT_EQ(posted[2].point, (DisplayPoint{1500, 200}));
    // The lock ends with the gesture.
    targets->thumb.reset();
    input->postMouseDown(MouseButton::left, {1500, 100});
    input->postMouseDrag(MouseButton::left, {1520, 100});
    EXPECT_EQ(events->pointerEvents().back().point, (DisplayPoint{1520, 100}));

    events->clear();
    targets->thumb = ScrollThumbAxis::horizontal;
    input->postMouseUp(MouseButton::left, {1520, 100});
    input->postMouseDown(MouseButton::right, {1500, 100});
    input->postMouseDrag(MouseButton::right, {1520, 180});
    EXPECT_EQ(events->pointerEvents().back().point, (DisplayPoint{1520, 100}));
}

TEST_F(InputTest, AnEdgePressWithoutDragIsExactlyOneSyntheticClick) {
    targets->window = 9;
    targets->resize = ResizeTarget{5, {1200, 100, 400, 300}, resizeLeft};
    input->postMouseDown(MouseButton::left, {1205, 250});
    EXPECT_TRUE(events->pointerEvents().empty());
    input->postMouseUp(MouseButton::left, {1205, 250});
    const auto posted = events->pointerEvents();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0], (PointerEvent{PT::leftDown, {1205, 250}, 0, 1, 1, 1.0, 0, 0, 9, true}));
    EXPECT_EQ(posted[1], (PointerEvent{PT::leftUp, {1205, 250}, 0, 1, 2, 0.0, 0, 0, 9, true}));
    EXPECT_TRUE(targets->sizes.empty());
    EXPECT_FALSE(input->isButtonActive(MouseButton::left));
}

TEST_F(InputTest, APressAfterAnEdgePressWhoseReleaseWasLostIsAnOrdinaryPress) {
    targets->resize = ResizeTarget{5, {1200, 100, 400, 300}, resizeLeft};
    input->postMouseDown(MouseButton::left, {1205, 250});  // its release never comes
    targets->resize.reset();
    input->postMouseDown(MouseButton::left, {1500, 250});
    input->postMouseDrag(MouseButton::left, {1520, 260});
    input->postMouseUp(MouseButton::left, {1540, 260});
    EXPECT_EQ(types(), (std::vector{PT::leftDown, PT::leftDragged, PT::leftUp}));
    EXPECT_TRUE(targets->sizes.empty());  // no resize left over from the first press
    EXPECT_FALSE(input->isButtonActive(MouseButton::left));
}

TEST_F(InputTest, AnEdgeDragResizesWithTheMinimumAndAFixedOppositeEdge) {
    targets->resize = ResizeTarget{5, {1200, 100, 400, 300}, resizeLeft};
    input->postMouseDown(MouseButton::left, {1205, 250});
    input->postMouseDrag(MouseButton::left, {1305, 260});
    input->postMouseUp(MouseButton::left, {1705, 260});
    EXPECT_TRUE(events->pointerEvents().empty());  // the window is resized, not clicked
    ASSERT_EQ(targets->sizes.size(), 2u);
    EXPECT_EQ(targets->sizes[0], (std::pair{300.0, 300.0}));
    EXPECT_EQ(targets->sizes[1], (std::pair{160.0, 300.0}));
    ASSERT_EQ(targets->positions.size(), 2u);
    EXPECT_EQ(targets->positions[1].second, (DisplayPoint{1440, 100}));  // right edge stays at 1600
    EXPECT_EQ(warps().back(), (DisplayPoint{1705, 260}));
}

TEST_F(InputTest, ATitleBarDragMovesTheWindowThroughWindowOperations) {
    targets->window = 11;
    targets->drag = DragTarget{5, {1300, 100, 300, 200}};
    input->postMouseDown(MouseButton::left, {1350, 120});  // 20 points below the top
    input->postMouseDrag(MouseButton::left, {1400, 150});
    input->postMouseDrag(MouseButton::left, {1450, 160});
    input->postMouseUp(MouseButton::left, {1460, 170});
    const auto posted = events->pointerEvents();
    ASSERT_EQ(posted.size(), 2u);  // the press, released when the move began; no up at the end
    EXPECT_EQ(posted[0].type, PT::leftDown);
    EXPECT_EQ(posted[1], (PointerEvent{PT::leftUp, {1400, 150}, 0, 0, 2, 0.0, 0, 0, {}, true}));
    ASSERT_EQ(targets->positions.size(), 3u);
    EXPECT_EQ(targets->positions[0].second, (DisplayPoint{1350, 130}));
    EXPECT_EQ(targets->positions[2].second, (DisplayPoint{1410, 150}));
    EXPECT_EQ(snapCalls, (std::vector{true}));  // only the second drag moved in x from a point
    EXPECT_FALSE(input->isButtonActive(MouseButton::left));
}

TEST_F(InputTest, BelowTheTitleBandOrDuringAScreenshotSelectionThereIsNoWindowMove) {
    targets->drag = DragTarget{5, {1300, 100, 300, 200}};
    input->postMouseDown(MouseButton::left, {1350, 153});  // 53 points down: content
    input->postMouseDrag(MouseButton::left, {1400, 160});
    EXPECT_EQ(types(), (std::vector{PT::leftDown, PT::leftDragged}));
    input->postMouseUp(MouseButton::left, {1400, 160});

    events->clear();
    targets->screenshot = true;
    targets->resize = ResizeTarget{5, {1300, 100, 300, 200}, resizeLeft};
    const int raises = targets->raises;
    input->postMouseDown(MouseButton::left, {1350, 120});
    input->postMouseDrag(MouseButton::left, {1400, 150});
    EXPECT_EQ(types(), (std::vector{PT::leftDown, PT::leftDragged}));
    EXPECT_EQ(targets->raises, raises);
    EXPECT_TRUE(targets->positions.empty());
}

TEST_F(InputTest, ADividerPressIsDeferredAndTheDragStartsOnTheDivider) {
    targets->divider = DisplayPoint{1410, 300};
    input->postMouseDown(MouseButton::left, {1400, 300});
    EXPECT_TRUE(events->posted().size() == 1u);  // only the warp to the press
    input->postMouseDrag(MouseButton::left, {1430, 300});
    const auto posted = events->pointerEvents();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0], (PointerEvent{PT::leftDown, {1410, 300}, 0, 1, 1, 1.0, 0, 0, {}, true}));
    EXPECT_EQ(posted[1].point, (DisplayPoint{1430, 300}));
    EXPECT_EQ(posted[1].deltaX, 20);
    EXPECT_EQ(warps().back(), (DisplayPoint{1410, 300}));
    input->postMouseUp(MouseButton::left, {1430, 300});
    EXPECT_EQ(types().back(), PT::leftUp);

    // Pressed near the divider and released without a drag: a plain click where it was pressed.
    events->clear();
    input->postMouseDown(MouseButton::left, {1400, 300});
    input->postMouseUp(MouseButton::left, {1400, 300});
    EXPECT_EQ(types(), (std::vector{PT::leftDown, PT::leftUp}));
    EXPECT_EQ(events->pointerEvents()[0].point, (DisplayPoint{1400, 300}));
}

TEST_F(InputTest, ADragThatCarriesTheWindowToAnotherDisplayEndsTheGesture) {
    snapAnswer = true;
    input->postMouseDown(MouseButton::left, {1400, 300});
    input->postMouseDrag(MouseButton::left, {1390, 300});
    EXPECT_EQ(types(), (std::vector{PT::leftDown, PT::leftDragged, PT::leftUp}));
    EXPECT_EQ(snapCalls, (std::vector{false}));
    EXPECT_FALSE(events->pointerEvents().back().eventNumber);
    EXPECT_FALSE(input->isButtonActive(MouseButton::left));
}

TEST_F(InputTest, KeysGoAsTextOrAsKeyCodes) {
    key(0x04, "a", 0);
    key(0x04, "a", 0, false);
    key(0x04, "a", modifierFlag::command);
    key(0x28, "\r", 0);
    key(0xE1, "", modifierFlag::shift);
    key(0x04, "A", 0xFFFFFFFF & ~(modifierFlag::command | modifierFlag::control));
    const auto posted = events->keyEvents();
    ASSERT_EQ(posted.size(), 6u);
    EXPECT_EQ(posted[0], (KeyEvent{0, "a", true, 0}));
    EXPECT_EQ(posted[1], (KeyEvent{0, "a", false, 0}));  // the text rides on the release too
    EXPECT_EQ(posted[2], (KeyEvent{0, "", true, modifierFlag::command}));
    EXPECT_EQ(posted[3], (KeyEvent{36, "", true, 0}));
    EXPECT_EQ(posted[4], (KeyEvent{56, "", true, modifierFlag::shift}));
    EXPECT_EQ(posted[5].flags,
              modifierFlag::all & ~(modifierFlag::command | modifierFlag::control));

    events->clear();
    ime = true;
    key(0x05, "b", 0);
    EXPECT_EQ(events->keyEvents(), (std::vector{KeyEvent{11, "", true, 0}}));
}

TEST_F(InputTest, UnmappedUsagesAndOverlongTextAreReported) {
    vl::testing::LogCapture log;
    key(0x46, "", 0);
    EXPECT_TRUE(events->keyEvents().empty());
    EXPECT_TRUE(log.contains("no CGKeyCode mapping for HID 0x46"));

    std::string text;
    for (int i = 0; i < 300; ++i) text += "é";
    key(0x08, text, 0);
    ASSERT_EQ(events->keyEvents().size(), 1u);
    EXPECT_EQ(events->keyEvents()[0].text.size(), 2 * InputService::maxCharacters);
    EXPECT_TRUE(log.contains("cut to 256 characters"));
}

TEST_F(InputTest, ScrollAmountsTruncateAndBadDeltasAreDropped) {
    vl::testing::LogCapture log;
    input->handleMiceWheel(MouseScroll{"s", 0, 0, ScrollDirection::down, 3.7});
    input->handleMiceWheel(MouseScroll{"s", 0, 0, ScrollDirection::up, 12.9});
    input->handleMiceWheel(MouseScroll{"s", 0, 0, ScrollDirection::up, std::nan("")});
    input->handleMiceWheel(MouseScroll{"s", 0, 0, ScrollDirection::down, INFINITY});
    input->handleMiceWheel(MouseScroll{"s", 0, 0, ScrollDirection::up, 3e9});
    input->handleMiceWheel(MouseScroll{"s", 0, 0, ScrollDirection::down, -2147483648.0});
    std::vector<std::int32_t> pixels;
    for (const auto& entry : events->posted())
        if (auto* scroll = std::get_if<ScrollEvent>(&entry)) pixels.push_back(scroll->pixels);
    EXPECT_EQ(pixels, (std::vector<std::int32_t>{-3, 12, 2147483647}));
    EXPECT_TRUE(log.contains("is not a 32-bit amount; dropped"));
}

TEST_F(InputTest, ConfinementWarpsToTheNearestPointInsideEveryTick) {
    displays->addDisplay(FakeDisplayService::make(8, {0, 0, 1000, 600}));
    virtualDisplays = {std::nullopt, displayID};
    events->setLocation(DisplayPoint{500, 300});  // on the physical display
    input->startConstrainingCursor(displayID);
    clock.advance(std::chrono::milliseconds(0));
    EXPECT_EQ(warps(), (std::vector{DisplayPoint{1000, 300}}));

    events->setLocation(DisplayPoint{2500, 900});
    clock.advance(std::chrono::milliseconds(15));
    EXPECT_EQ(warps().size(), 1u);
    clock.advance(std::chrono::milliseconds(1));
    EXPECT_EQ(warps().back(), (DisplayPoint{1799, 599}));  // one pixel inside the far edges

    // Inside: left alone. While a button is held: left alone.
    events->clear();
    events->setLocation(DisplayPoint{1500, 300});
    clock.advance(std::chrono::milliseconds(16));
    EXPECT_TRUE(warps().empty());
    input->postMouseDown(MouseButton::left, {1500, 300});
    events->setLocation(DisplayPoint{100, 300});
    clock.advance(std::chrono::milliseconds(16));
    EXPECT_EQ(warps().size(), 1u);  // only the press's own warp

    // Stopping releases the held button and lets the cursor go.
    input->stopConstrainingCursor();
    EXPECT_EQ(types().back(), PT::leftUp);
    events->clear();
    clock.advance(std::chrono::milliseconds(64));
    EXPECT_TRUE(events->posted().empty());
}

TEST_F(InputTest, EndingTheSessionReleasesHeldKeys) {
    key(0xE3, "", modifierFlag::command);
    key(0x04, "", modifierFlag::command);
    key(0x04, "", modifierFlag::command, false);
    events->clear();
    input->stopConstrainingCursor();
    EXPECT_EQ(events->keyEvents(), (std::vector{KeyEvent{55, "", false, 0}}));
}

TEST_F(InputTest, AnySequenceOfPointerMessagesLeavesNoButtonHeldUnknowingly) {
    std::mt19937 random(12345);
    const double positions[] = {0, 0.5, 0.501, 1, 1.5, -0.2, std::nan(""), 1e300};
    int held[3] = {0, 0, 0};
    std::size_t seen = 0;
    for (int round = 0; round < 2000; ++round) {
        targets->thumb =
            random() % 4 == 0 ? std::optional(ScrollThumbAxis::vertical) : std::nullopt;
        targets->resize = random() % 5 == 0
                              ? std::optional(ResizeTarget{5, {1200, 100, 400, 300}, resizeLeft})
                              : std::nullopt;
        targets->divider =
            random() % 5 == 0 ? std::optional(DisplayPoint{1410, 300}) : std::nullopt;
        targets->drag =
            random() % 3 == 0 ? std::optional(DragTarget{5, {1000, 0, 800, 600}}) : std::nullopt;
        snapAnswer = random() % 7 == 0;
        newer = random() % 2 == 0;
        uptime += 0.1;
        // Drawn one by one: the order a call's arguments are evaluated in differs by compiler.
        const auto kind = static_cast<MouseEventKind>(random() % 4);
        const double x = positions[random() % 8];
        const double y = positions[random() % 8];
        const auto button = static_cast<MouseButton>(random() % 3);
        mouse(kind, x, y, button);

        // The button is held exactly when its last posted event was a press or a drag.
        const auto posted = events->pointerEvents();
        for (std::size_t i = seen; i < posted.size(); ++i) {
            const PointerEvent& event = posted[i];
            const int raw = static_cast<int>(event.type);
            if (raw == 1 || raw == 3 || raw == 25 || raw == 6 || raw == 7 || raw == 27)
                held[event.buttonNumber] = 1;
            if (raw == 2 || raw == 4 || raw == 26) held[event.buttonNumber] = 0;
        }
        for (int b = 0; b < 3; ++b)
            ASSERT_EQ(held[b] == 1, input->isButtonActive(static_cast<MouseButton>(b)))
                << "button " << b << ", round " << round << ": " << trace();
        seen = posted.size();
    }
    const bool anyHeld = input->isButtonActive(MouseButton::left) ||
                         input->isButtonActive(MouseButton::right) ||
                         input->isButtonActive(MouseButton::middle);
    events->clear();
    input->releaseHeldInput();
    EXPECT_EQ(anyHeld, !events->pointerEvents().empty());
    for (int b = 0; b < 3; ++b) EXPECT_FALSE(input->isButtonActive(static_cast<MouseButton>(b)));
}

TEST(ResizeGeometry, EdgesAndCorners) {
    const DisplayRect frame{100, 100, 400, 300};
    EXPECT_EQ(resizeEdges({110, 250}, frame), resizeLeft);
    EXPECT_EQ(resizeEdges({300, 110}, frame), 0);  // the top band is the title bar
    EXPECT_EQ(resizeEdges({130, 130}, frame), resizeLeft | resizeTop);
    EXPECT_EQ(resizeEdges({470, 130}, frame), resizeRight | resizeTop);
    EXPECT_EQ(resizeEdges({130, 370}, frame), resizeLeft | resizeBottom);
    EXPECT_EQ(resizeEdges({515, 250}, frame), resizeRight);
    EXPECT_EQ(resizeEdges({300, 415}, frame), resizeBottom);
    EXPECT_EQ(resizeEdges({521, 250}, frame), 0);
    EXPECT_EQ(resizeEdges({300, 250}, frame), 0);
}

TEST(ResizeGeometry, MinimumSizeKeepsTheOppositeEdges) {
    const AXResize topLeft{1, {100, 100, 400, 300}, {100, 100}, resizeLeft | resizeTop};
    EXPECT_EQ(resizedFrame(topLeft, {600, 600}), (DisplayRect{340, 300, 160, 100}));
    EXPECT_EQ(resizedFrame(topLeft, {50, 80}), (DisplayRect{50, 80, 450, 320}));
    const AXResize bottomRight{1, {100, 100, 400, 300}, {500, 400}, resizeRight | resizeBottom};
    EXPECT_EQ(resizedFrame(bottomRight, {520, 300}), (DisplayRect{100, 100, 420, 200}));
    EXPECT_EQ(resizedFrame(bottomRight, {std::nan(""), 0}), (DisplayRect{100, 100, 160, 100}));
}

TEST(KeyCodes, TableAndAlwaysKeyCodeUsages) {
    EXPECT_EQ(hidToCGKeyCode(0x04), 0);
    EXPECT_EQ(hidToCGKeyCode(0x28), 36);
    EXPECT_EQ(hidToCGKeyCode(0xE7), 54);
    EXPECT_EQ(hidToCGKeyCode(0x32), std::nullopt);
    EXPECT_EQ(hidToCGKeyCode(0x46), std::nullopt);
    int mapped = 0;
    for (std::uint32_t usage = 0; usage < 0x100; ++usage) mapped += hidToCGKeyCode(usage) ? 1 : 0;
    EXPECT_EQ(mapped, 82);
    int always = 0;
    for (std::uint32_t usage = 0; usage < 0x100; ++usage) always += isAlwaysKeyCodeUsage(usage);
    EXPECT_EQ(always, 13);
    EXPECT_FALSE(isAlwaysKeyCodeUsage(0x2C));  // space is typed as text
}

}  // namespace
}  // namespace vl
