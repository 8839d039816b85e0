#include "input/InputService.h"
#include "input/WindowPointerTargets.h"

#include "base/testing/MainLoop.h"
#include "platform/display/fake/FakeDisplayService.h"
#include "platform/events/fake/FakeEventsService.h"
#include "platform/windows/fake/FakeWindowServer.h"

#include <gtest/gtest.h>

namespace vl {
namespace {

WindowRecord window(DisplayRect frame, WindowKind kind = WindowKind::normal) {
    WindowRecord record;
    record.pid = 40;
    record.frame = frame;
    record.kind = kind;
    return record;
}

class WindowTargetsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        back = server->addWindow(window({100, 100, 400, 300}));
        front = server->addWindow(window({300, 200, 400, 300}));
        server->addWindow(window({0, 0, 1920, 30}, WindowKind::dock));
        server->focus(front);
    }
    std::vector<WindowID> order() {
        std::vector<WindowID> ids;
        for (const auto& w : server->windowList()) ids.push_back(w.id);
        return ids;
    }

    std::shared_ptr<FakeWindowServer> server = std::make_shared<FakeWindowServer>();
    WindowPointerTargets targets{server};
    WindowID back = 0;
    WindowID front = 0;
};

TEST_F(WindowTargetsTest, RaisingTheFocusedWindowChangesNothingAndStillAnswersIt) {
    const auto before = order();
    EXPECT_EQ(targets.raiseWindowAtPoint({500, 400}), front);
    EXPECT_EQ(order(), before);
    EXPECT_EQ(server->focusedWindow(), front);
    // A background window's visible part raises and focuses it; docks are not windows here.
    EXPECT_EQ(targets.raiseWindowAtPoint({150, 150}), back);
    EXPECT_EQ(server->focusedWindow(), back);
    EXPECT_EQ(targets.raiseWindowAtPoint({10, 10}), std::nullopt);
    EXPECT_EQ(targets.raiseWindowAtPoint({1000, 900}), std::nullopt);
}

TEST_F(WindowTargetsTest, EdgesOnlyOfTheTopmostWindowThere) {
    auto target = targets.axResizeTarget({305, 350});
    ASSERT_TRUE(target);
    EXPECT_EQ(target->element, front);
    EXPECT_EQ(target->edges, resizeLeft);
    // Inside the front window, over the back window's right edge: the front window covers it.
    EXPECT_FALSE(targets.axResizeTarget({495, 250}));
    // The back window's left edge where nothing covers it raises that window.
    target = targets.axResizeTarget({95, 250});
    ASSERT_TRUE(target);
    EXPECT_EQ(target->element, back);
    EXPECT_EQ(server->focusedWindow(), back);
}

class WindowGestureTest : public WindowTargetsTest {
  protected:
    void SetUp() override {
        WindowTargetsTest::SetUp();
        displays->addDisplay(FakeDisplayService::make(1, {0, 0, 1920, 1080}));
        InputService::Services services;
        services.events = events;
        services.displays = displays;
        services.targets = std::make_shared<WindowPointerTargets>(server);
        input = InputService::make(services);
    }
    std::shared_ptr<FakeEventsService> events = std::make_shared<FakeEventsService>();
    std::shared_ptr<FakeDisplayService> displays = std::make_shared<FakeDisplayService>();
    std::shared_ptr<InputService> input;
};

TEST_F(WindowGestureTest, ATitleBarDragMovesABackgroundWindowByTheDragDistance) {
    input->postMouseDown(MouseButton::left, {200, 120});
    EXPECT_EQ(server->focusedWindow(), back);  // raised at the press
    input->postMouseDrag(MouseButton::left, {230, 140});
    input->postMouseUp(MouseButton::left, {250, 150});
    ASSERT_FALSE(server->framesSet().empty());
    EXPECT_EQ(server->framesSet().back(), (std::pair{back, DisplayRect{150, 130, 400, 300}}));
    EXPECT_EQ(server->frame(back), (DisplayRect{150, 130, 400, 300}));
}

TEST_F(WindowGestureTest, ALeftEdgeDragResizesWithTheRightEdgeFixed) {
    input->postMouseDown(MouseButton::left, {305, 350});
    input->postMouseDrag(MouseButton::left, {355, 350});
    input->postMouseUp(MouseButton::left, {905, 350});
    EXPECT_EQ(server->frame(front), (DisplayRect{540, 200, 160, 300}));
    EXPECT_TRUE(events->pointerEvents().empty());
}

}  // namespace
}  // namespace vl
