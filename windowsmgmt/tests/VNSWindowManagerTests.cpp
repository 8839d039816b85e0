#include "windowsmgmt/VNSWindowManager.h"

#include "base/testing/LogCapture.h"
#include "base/testing/ManualClock.h"
#include "platform/display/fake/FakeDisplayService.h"
#include "platform/windows/fake/FakeWindowServer.h"

#include <gtest/gtest.h>

namespace vl {

void PrintTo(const DisplayRect& r, std::ostream* out) {
    *out << "{" << r.x << ", " << r.y << ", " << r.width << ", " << r.height << "}";
}

namespace {

using namespace std::chrono_literals;

constexpr DisplayID mainID = 1;
constexpr DisplayID virtualID = 2;
constexpr ProcessID ownPID = 4242;

// A 1920 × 1080 main display with a 1920 × 1080 virtual display to its right.
class WindowManagerTest : public ::testing::Test {
  protected:
    WindowManagerTest() {
        displays.addDisplay(FakeDisplayService::make(mainID, {0, 0, 1920, 1080}));
        displays.addDisplay(FakeDisplayService::make(virtualID, {1920, 0, 1920, 1080}));
        displays.setMainDisplay(mainID);
        VNSWindowManager::Options options;
        options.ownPID = ownPID;
        manager = VNSWindowManager::make(displays, windows, options, queue, clock);
    }

    WindowID add(ProcessID pid, std::string title, DisplayRect frame,
                 WindowKind kind = WindowKind::normal, bool notify = false) {
        WindowRecord record;
        record.pid = pid;
        record.ownerName = "app" + std::to_string(pid);
        record.title = std::move(title);
        record.frame = frame;
        record.kind = kind;
        return windows.addWindow(record, notify);
    }
    DisplayRect frameOf(WindowID id) { return *windows.frame(id); }
    // Lets the blocks the observer queued run.
    void drain() {
        queue.sync([] {});
    }

    FakeDisplayService displays;
    FakeWindowServer windows;
    DispatchQueue queue{"windowsmgmt.tests"};
    testing::ManualClock clock;
    std::shared_ptr<VNSWindowManager> manager;
};

TEST(RemapWindowFrame, ScalesAnOversizedWindowIntoTheTargetTwentyPointsInside) {
    auto frame = VNSWindowManager::remapWindowFrame({0, 0, 3000, 2000}, {0, 0, 3840, 2160},
                                                    {1920, 0, 1920, 1080});
    EXPECT_EQ(frame, (DisplayRect{1940, 20, 1560, 1040}));
}

TEST(RemapWindowFrame, KeepsTheOffsetAndClampsIntoTheTarget) {
    const DisplayRect from{0, 0, 1920, 1080}, to{1920, 0, 1280, 720};
    EXPECT_EQ(VNSWindowManager::remapWindowFrame({100, 50, 400, 300}, from, to),
              (DisplayRect{2020, 50, 400, 300}));
    // Offset beyond the smaller target: pulled back 20 points inside its right and bottom edges.
    EXPECT_EQ(VNSWindowManager::remapWindowFrame({1500, 900, 400, 300}, from, to),
              (DisplayRect{1920 + 1280 - 420, 720 - 320, 400, 300}));
}

TEST_F(WindowManagerTest, RefreshAndDisplayContainingFollowTheLargestOverlap) {
    auto list = manager->refreshDisplays();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_TRUE(list[0].isMain);
    EXPECT_EQ(list[1].originX, 1920);
    EXPECT_EQ(manager->displayContaining({1800, 0, 400, 100}), virtualID);
    EXPECT_EQ(manager->displayContaining({1700, 0, 400, 100}), mainID);
    // Equal overlap: the earlier display keeps it. No overlap: the main display.
    EXPECT_EQ(manager->displayContaining({1820, 0, 200, 100}), mainID);
    EXPECT_EQ(manager->displayContaining({-5000, -5000, 10, 10}), mainID);
}

TEST_F(WindowManagerTest, SetMainDisplayShiftsEveryOriginSoTheTargetIsAtZero) {
    manager->setMainDisplay(virtualID);
    EXPECT_EQ(displays.bounds(virtualID), (DisplayRect{0, 0, 1920, 1080}));
    EXPECT_EQ(displays.bounds(mainID), (DisplayRect{-1920, 0, 1920, 1080}));
}

TEST_F(WindowManagerTest, RestoreMainDisplaySkipsAnUnpluggedDisplayAndRestoresTheRest) {
    constexpr DisplayID third = 3;
    displays.addDisplay(FakeDisplayService::make(third, {-1280, 0, 1280, 1024}));
    manager->rememberAllDisplays();
    manager->setMainDisplay(virtualID);
    displays.removeDisplay(third);
    testing::LogCapture log;
    manager->restoreMainDisplay();
    EXPECT_EQ(displays.bounds(mainID), (DisplayRect{0, 0, 1920, 1080}));
    EXPECT_EQ(displays.bounds(virtualID), (DisplayRect{1920, 0, 1920, 1080}));
    EXPECT_TRUE(log.contains("Display 3 no longer connected, skipping."));
}

TEST_F(WindowManagerTest, RestoreMatchesByTitleThenSizeDifferenceThenOrder) {
    const DisplayRect savedFrame{10, 10, 800, 600};
    auto a = add(7, "Notes", {0, 0, 800, 600});  // original window, captured
    manager->rememberAllDisplays();
    windows.removeWindow(a);
    // The window reopened: two with the title; the one whose size differs less wins.
    auto far = add(7, "Notes", {500, 500, 1000, 900});
    auto near = add(7, "Notes", {500, 500, 810, 600});
    auto untitled = add(7, "", {500, 500, 800, 600});
    (void)savedFrame;
    manager->restoreAllWindows();
    EXPECT_EQ(frameOf(near), (DisplayRect{0, 0, 800, 600}));
    EXPECT_EQ(frameOf(far).x, 500);
    EXPECT_EQ(frameOf(untitled).x, 500);
}

TEST_F(WindowManagerTest, EqualScoresGoToTheFirstWindowOfTheApplication) {
    VNSLayoutSnapshot snapshot;
    snapshot.windows.push_back({1, "", 7, "Doc", {100, 100, 500, 400}, mainID});
    auto first = add(7, "Doc", {900, 0, 500, 400});
    auto second = add(7, "Doc", {900, 0, 500, 400});
    EXPECT_EQ(manager->restoreWindows(snapshot), 1);
    EXPECT_EQ(frameOf(first), (DisplayRect{100, 100, 500, 400}));
    EXPECT_EQ(frameOf(second).x, 900);
}

TEST_F(WindowManagerTest, AnUntitledWindowMatchesBySizeAloneEvenWithScoreZero) {
    VNSLayoutSnapshot snapshot;
    snapshot.windows.push_back({1, "", 7, "", {100, 100, 500, 400}, mainID});
    // 5,001 points larger in width and height together: scores 0, still the only candidate.
    auto big = add(7, "Other", {0, 0, 500 + 2501, 400 + 2500});
    EXPECT_EQ(manager->restoreWindows(snapshot), 1);
    EXPECT_EQ(frameOf(big), (DisplayRect{100, 100, 500, 400}));
}

TEST_F(WindowManagerTest, AZeroWidthWindowIsNeverChosen) {
    VNSLayoutSnapshot snapshot;
    snapshot.windows.push_back({1, "", 7, "Doc", {100, 100, 500, 400}, mainID});
    auto empty = add(7, "Doc", {0, 0, 0, 400});
    EXPECT_EQ(manager->restoreWindows(snapshot), 0);
    EXPECT_EQ(frameOf(empty), (DisplayRect{0, 0, 0, 400}));
}

TEST_F(WindowManagerTest, MoveAllWindowsRemapsCapturedWindowsAndLeavesExcludedOnesAlone) {
    auto doc = add(7, "Doc", {100, 100, 800, 600});
    auto huge = add(8, "Huge", {0, 0, 1920, 1080});
    auto dock = add(9, "Panel", {0, 1040, 1920, 40}, WindowKind::dock);
    auto own = add(ownPID, "Server", {50, 50, 300, 200});
    manager->rememberAllDisplays();
    EXPECT_EQ(manager->savedWindows().size(), 2u);
    manager->moveAllWindowsToDisplay(virtualID);
    EXPECT_EQ(frameOf(doc), (DisplayRect{2020, 100, 800, 600}));
    // Scaled by min(1880 / 1920, 1040 / 1080), rounded down: the aspect ratio stays.
    EXPECT_EQ(frameOf(huge), (DisplayRect{1940, 20, 1848, 1040}));
    EXPECT_EQ(frameOf(dock), (DisplayRect{0, 1040, 1920, 40}));
    EXPECT_EQ(frameOf(own), (DisplayRect{50, 50, 300, 200}));

    // The second pass of a session start leaves windows already there where they are.
    manager->moveAllWindowsToDisplay(virtualID);
    EXPECT_EQ(frameOf(doc), (DisplayRect{2020, 100, 800, 600}));
    EXPECT_EQ(frameOf(huge), (DisplayRect{1940, 20, 1848, 1040}));
}

TEST_F(WindowManagerTest, MoveAllWindowsWithoutACaptureMovesTheLiveWindows) {
    auto doc = add(7, "Doc", {100, 100, 800, 600});
    manager->moveAllWindowsToDisplay(virtualID);
    EXPECT_EQ(frameOf(doc), (DisplayRect{2020, 100, 800, 600}));
}

TEST_F(WindowManagerTest, NothingMovesWithoutAWindowManagerOrTarget) {
    auto doc = add(7, "Doc", {100, 100, 800, 600});
    manager->rememberAllDisplays();
    manager->moveAllWindowsToDisplay(99);
    windows.setTrusted(false);
    manager->moveAllWindowsToDisplay(virtualID);
    EXPECT_EQ(manager->moveWindowsToVDIfNotOnVD(virtualID), 0);
    windows.focus(doc);
    EXPECT_FALSE(manager->moveActiveWindowToDisplay(virtualID, false));
    EXPECT_TRUE(windows.framesSet().empty());
}

TEST_F(WindowManagerTest, ARefusedMoveIsReportedAndTheOthersStillMove) {
    auto stuck = add(7, "Stuck", {100, 100, 400, 300});
    auto free = add(7, "Free", {200, 200, 400, 300});
    windows.refuseMoves(stuck);
    testing::LogCapture log;
    EXPECT_EQ(manager->moveWindowsToVDIfNotOnVD(virtualID), 2);
    EXPECT_TRUE(log.contains("'Stuck' position set failed"));
    EXPECT_EQ(frameOf(free).x, 1920 + 760);
}

TEST_F(WindowManagerTest, MoveWindowsToVDSkipsSmallWindowsAndCentresOrShrinksTheRest) {
    auto thin = add(7, "Thin", {100, 100, 30, 500});
    auto normal = add(7, "Normal", {100, 100, 600, 400});
    auto huge = add(8, "Huge", {0, 0, 2000, 900});
    auto already = add(8, "There", {2000, 100, 600, 400});
    EXPECT_EQ(manager->moveWindowsToVDIfNotOnVD(virtualID), 2);
    EXPECT_EQ(frameOf(thin), (DisplayRect{100, 100, 30, 500}));
    EXPECT_EQ(frameOf(normal), (DisplayRect{1920 + 660, 340, 600, 400}));
    EXPECT_EQ(frameOf(huge), (DisplayRect{1920 + 320, 180, 1280, 720}));
    EXPECT_EQ(frameOf(already), (DisplayRect{2000, 100, 600, 400}));
    EXPECT_EQ(manager->moveWindowsToVDIfNotOnVD(77), 0);
}

TEST_F(WindowManagerTest, MoveActiveWindowAlignsAtAnEdgeAndKeepsItsHeightOffset) {
    auto doc = add(7, "Doc", {300, 200, 800, 600});
    windows.focus(doc);
    EXPECT_TRUE(manager->moveActiveWindowToDisplay(virtualID, false));
    EXPECT_EQ(frameOf(doc), (DisplayRect{1940, 200, 800, 600}));
    EXPECT_TRUE(manager->moveActiveWindowToDisplay(mainID, true));
    EXPECT_EQ(frameOf(doc), (DisplayRect{1920 - 20 - 800, 200, 800, 600}));
    // Too large for the target: two thirds of it, 20 points from its top.
    windows.setFrame(doc, {0, 0, 2000, 1080});
    EXPECT_TRUE(manager->moveActiveWindowToDisplay(virtualID, false));
    EXPECT_EQ(frameOf(doc), (DisplayRect{1940, 20, 1280, 720}));
    windows.focus(std::nullopt);
    EXPECT_FALSE(manager->moveActiveWindowToDisplay(virtualID, false));
}

TEST_F(WindowManagerTest, SnapMovesTheWindowWhoseLeadingEdgeCrossedOntoAnotherDisplay) {
    auto doc = add(7, "Doc", {1000, 300, 800, 400});
    windows.focus(doc);
    EXPECT_FALSE(manager->snapActiveWindowIfCrossedDisplay(true));  // right edge still on main
    windows.setFrame(doc, {1200, 300, 800, 400});  // right edge at 2000: on the virtual display
    EXPECT_TRUE(manager->snapActiveWindowIfCrossedDisplay(true));
    EXPECT_EQ(frameOf(doc), (DisplayRect{1940, 300, 800, 400}));
    windows.setFrame(doc, {1900, 300, 800, 400});  // moving left, left edge on main
    EXPECT_TRUE(manager->snapActiveWindowIfCrossedDisplay(false));
    EXPECT_EQ(frameOf(doc), (DisplayRect{1920 - 820, 300, 800, 400}));
    auto own = add(ownPID, "Server", {1200, 300, 800, 400});
    windows.focus(own);
    EXPECT_FALSE(manager->snapActiveWindowIfCrossedDisplay(true));
}

TEST_F(WindowManagerTest, NewWindowsElsewhereFollowTheTargetAfterTheDelay) {
    manager->startNewWindowObserver(virtualID);
    EXPECT_EQ(windows.observerCount(), 1u);
    auto elsewhere = add(7, "New", {100, 100, 600, 400}, WindowKind::normal, true);
    auto onTarget = add(7, "Here", {2000, 100, 600, 400}, WindowKind::normal, true);
    auto tiny = add(7, "Tiny", {100, 100, 40, 400}, WindowKind::normal, true);
    drain();
    clock.advance(149ms);
    EXPECT_EQ(frameOf(elsewhere).x, 100);
    clock.advance(1ms);
    EXPECT_EQ(frameOf(elsewhere), (DisplayRect{2020, 100, 600, 400}));
    EXPECT_EQ(frameOf(onTarget).x, 2000);
    EXPECT_EQ(frameOf(tiny).x, 100);
    // An application launched meanwhile is followed 0.4 s later.
    add(11, "Launched", {2000, 100, 600, 400}, WindowKind::normal, true);
    drain();
    clock.advance(399ms);
    EXPECT_EQ(manager->attachedApplicationCount(), 1u);  // pid 7, launched with its first window
    clock.advance(1ms);
    EXPECT_EQ(manager->attachedApplicationCount(), 2u);

    manager->stopNewWindowObserver();
    EXPECT_EQ(windows.observerCount(), 0u);
    EXPECT_EQ(manager->newWindowTargetDisplay(), nullDisplayID);
}

TEST_F(WindowManagerTest, APendingRelocationIsDroppedWhenFollowingStops) {
    manager->startNewWindowObserver(virtualID);
    auto late = add(7, "Late", {100, 100, 600, 400}, WindowKind::normal, true);
    drain();
    manager->stopNewWindowObserver();
    clock.advance(1s);
    EXPECT_EQ(frameOf(late).x, 100);
}

TEST_F(WindowManagerTest, FocusChangesReportEachNewDisplayOnce) {
    std::vector<DisplayID> reports;
    manager->onActiveWindowDisplayChanged = [&](DisplayID d) { reports.push_back(d); };
    auto left1 = add(7, "L1", {100, 100, 600, 400});
    auto left2 = add(7, "L2", {200, 100, 600, 400});
    auto right = add(8, "R", {2000, 100, 600, 400});
    manager->startNewWindowObserver(virtualID);
    windows.focus(left1);
    windows.focus(left2);
    windows.focus(left1);
    drain();
    windows.focus(right);
    windows.focus(right);
    drain();
    EXPECT_EQ(reports, (std::vector<DisplayID>{mainID, virtualID}));
}

}  // namespace
}  // namespace vl
