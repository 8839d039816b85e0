#include "platform/windows/x11/X11WindowService.h"

#include "base/testing/Eventually.h"
#include "platform/windows/tests/WindowDesktop.h"
#include "platform/windows/tests/WindowEventLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <regex>

namespace vl {
namespace {

using test::shell;
using testing::eventually;

// What independent tools say of a window: the client area from xwininfo, the frame extents
// (left, right, top, bottom) from xprop.
struct Witness {
    int x = 0, y = 0, width = 0, height = 0;
    int left = 0, right = 0, top = 0, bottom = 0;
    DisplayRect frame() const {
        return {double(x - left), double(y - top), double(width + left + right),
                double(height + top + bottom)};
    }
};

Witness witness(WindowID id) {
    Witness w;
    const std::string info = shell("xwininfo -id " + std::to_string(id));
    std::smatch m;
    auto number = [&](const char* label) {
        std::regex pattern(std::string(label) + R"(:\s+(-?\d+))");
        return std::regex_search(info, m, pattern) ? std::stoi(m[1]) : -99999;
    };
    w.x = number("Absolute upper-left X");
    w.y = number("Absolute upper-left Y");
    w.width = number("Width");
    w.height = number("Height");
    const std::string extents = shell("xprop -id " + std::to_string(id) + " _NET_FRAME_EXTENTS");
    std::regex four(R"(= (\d+), (\d+), (\d+), (\d+))");
    if (std::regex_search(extents, m, four)) {
        w.left = std::stoi(m[1]);
        w.right = std::stoi(m[2]);
        w.top = std::stoi(m[3]);
        w.bottom = std::stoi(m[4]);
    }
    return w;
}

std::optional<WindowID> windowOf(pid_t pid) {
    auto found = shell("xdotool search --all --pid " + std::to_string(pid));
    if (found.empty()) return std::nullopt;
    return static_cast<WindowID>(std::stoul(found));
}

class X11WindowServiceTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        desktop = new test::WindowDesktop(1920, 1080);
        if (desktop->running()) desktop->startWindowManager();
    }
    static void TearDownTestSuite() {
        delete desktop;
        desktop = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(desktop->running());
        if (!desktop->windowManagerRunning()) {
            ASSERT_TRUE(desktop->startWindowManager());
        }
    }

    static test::WindowDesktop* desktop;
    X11WindowService service;
};

test::WindowDesktop* X11WindowServiceTest::desktop = nullptr;

TEST_F(X11WindowServiceTest, ListsApplicationWindowsFrontToBackWithOwnerTitleAndFrame) {
    auto first = desktop->openWindow("First window", 400, 300, 100, 100);
    auto second = desktop->openWindow("Second window", 500, 200, 700, 400);
    auto panel = desktop->openWindow("Panel", 1920, 30, 0, 0, "dock");
    ASSERT_TRUE(first && second && panel);
    const WindowID firstID = *windowOf(*first), secondID = *windowOf(*second);

    EXPECT_TRUE(service.trusted());
    auto list = service.windowList();
    std::vector<std::string> titles;
    for (const auto& w : list) titles.push_back(w.title);
    auto at = [&](const std::string& t) { return std::find(titles.begin(), titles.end(), t); };
    ASSERT_NE(at("First window"), titles.end());
    ASSERT_NE(at("Second window"), titles.end());
    EXPECT_LT(at("Second window"), at("First window"));  // mapped later, stacked above

    auto record = service.window(firstID);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->pid, *first);
    EXPECT_EQ(record->ownerName, "vl_test_window");
    EXPECT_EQ(record->appID, "vl_test_window");
    EXPECT_EQ(record->kind, WindowKind::normal);
    EXPECT_EQ(record->frame, witness(firstID).frame());
    EXPECT_EQ(witness(firstID).width, 400);

    auto dock = service.window(*windowOf(*panel));
    ASSERT_TRUE(dock);
    EXPECT_NE(dock->layer(), 0);
    EXPECT_EQ(service.windowsOfProcess(*second), std::vector<WindowID>{secondID});
    // A window that does not name its process is still its process's, as the X server knows.
    shell("xprop -id " + std::to_string(secondID) + " -remove _NET_WM_PID");
    ASSERT_EQ(shell("xprop -id " + std::to_string(secondID) + " _NET_WM_PID").find(" = "),
              std::string::npos);
    EXPECT_EQ(service.windowsOfProcess(*second), std::vector<WindowID>{secondID});
    EXPECT_EQ(service.window(secondID)->pid, *second);
    EXPECT_TRUE(service.windowsOfProcess(*panel).empty());
    auto apps = service.regularApplications();
    EXPECT_NE(std::find(apps.begin(), apps.end(), *first), apps.end());
    EXPECT_EQ(std::find(apps.begin(), apps.end(), *panel), apps.end());
    for (pid_t pid : {*first, *second, *panel}) desktop->closeWindow(pid);
}

TEST_F(X11WindowServiceTest, MovesSizesRaisesAndFindsWindowsThroughTheWindowManager) {
    auto pid = desktop->openWindow("Movable", 400, 300, 50, 60);
    auto other = desktop->openWindow("Other", 400, 300, 900, 500);
    ASSERT_TRUE(pid && other);
    const WindowID id = *windowOf(*pid), otherID = *windowOf(*other);

    const DisplayRect target{300, 250, 640, 480};
    EXPECT_EQ(service.setFrame(id, target), WindowError::success);
    EXPECT_EQ(witness(id).frame(), target);
    EXPECT_EQ(*service.frame(id), target);

    EXPECT_EQ(service.windowAtPoint({620, 490}), id);
    EXPECT_EQ(service.windowAtPoint({1100, 700}), otherID);
    EXPECT_FALSE(service.windowAtPoint({1800, 50}));

    EXPECT_EQ(service.raise(otherID), WindowError::success);
    EXPECT_TRUE(eventually([&] { return service.focusedWindow() == otherID; }));
    EXPECT_EQ(service.raise(id), WindowError::success);
    EXPECT_TRUE(eventually([&] { return service.focusedWindow() == id; }));
    EXPECT_EQ(shell("xdotool getactivewindow"), std::to_string(id) + "\n");

    desktop->closeWindow(*pid);
    EXPECT_EQ(service.setFrame(id, target), WindowError::notFound);
    desktop->closeWindow(*other);
}

// A minimised window is off the on-screen list, but still its process's window, found by its id,
// moved, and raised back; the GNOME Shell backend answers the same.
TEST_F(X11WindowServiceTest, AMinimisedWindowIsOffTheListButFoundAndRaised) {
    auto pid = desktop->openWindow("Minimised", 400, 300, 100, 100);
    ASSERT_TRUE(pid);
    const WindowID id = *windowOf(*pid);
    auto listed = [&] {
        auto list = service.windowList();
        return std::find_if(list.begin(), list.end(), [&](const auto& w) { return w.id == id; }) !=
               list.end();
    };
    ASSERT_TRUE(listed());
    // Where the window manager placed it.
    auto inside = [&] {
        const DisplayRect frame = service.frame(id).value_or(DisplayRect{});
        return DisplayPoint{frame.x + frame.width / 2, frame.y + frame.height / 2};
    };
    const DisplayPoint shown = inside();
    ASSERT_EQ(service.windowAtPoint(shown), id);
    shell("xdotool windowminimize " + std::to_string(id));
    ASSERT_TRUE(eventually([&] {
        return shell("xprop -id " + std::to_string(id) + " _NET_WM_STATE").find("HIDDEN") !=
               std::string::npos;
    }));
    EXPECT_FALSE(listed());
    auto record = service.window(id);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->pid, *pid);
    EXPECT_EQ(service.windowsOfProcess(*pid), std::vector<WindowID>{id});
    auto apps = service.regularApplications();
    EXPECT_NE(std::find(apps.begin(), apps.end(), *pid), apps.end());
    EXPECT_NE(service.windowAtPoint(shown), id);
    const DisplayRect target{300, 250, 640, 480};
    EXPECT_EQ(service.setFrame(id, target), WindowError::success);
    EXPECT_EQ(service.frame(id), target);
    EXPECT_FALSE(listed()) << "moved, still minimised";

    EXPECT_EQ(service.raise(id), WindowError::success);
    EXPECT_TRUE(eventually([&] { return listed() && service.focusedWindow() == id; }));
    EXPECT_EQ(service.windowAtPoint(inside()), id);
    desktop->closeWindow(*pid);
}

TEST_F(X11WindowServiceTest, ObservesNewWindowsApplicationsAndFocus) {
    testing::WindowEventLog seen;
    auto observation = service.observe(seen.handlers());
    ASSERT_TRUE(observation);

    auto pid = desktop->openWindow("Observed", 300, 200, 10, 10);
    ASSERT_TRUE(pid);
    const WindowID id = *windowOf(*pid);
    EXPECT_TRUE(eventually([&] { return seen.wasCreated(id, *pid) && seen.wasLaunched(*pid); }))
        << id << " " << shell("xprop -root _NET_CLIENT_LIST");
    service.raise(id);
    EXPECT_TRUE(eventually([&] { return seen.wasFocused(id); }));
    desktop->closeWindow(*pid);
    EXPECT_TRUE(eventually([&] { return seen.wasTerminated(*pid); }));
    observation.reset();  // joins; nothing is delivered afterwards
}

TEST_F(X11WindowServiceTest, WithoutAWindowManagerNothingMovesAndObserversSurvive) {
    auto pid = desktop->openWindow("Orphan", 300, 200, 10, 10);
    ASSERT_TRUE(pid);
    const WindowID id = *windowOf(*pid);
    std::atomic<int> events = 0;
    WindowEvents handlers;
    handlers.windowCreated = [&](WindowID, ProcessID) { ++events; };
    auto observation = service.observe(handlers);
    desktop->stopWindowManager();
    EXPECT_TRUE(eventually([&] { return !service.trusted(); }));
    EXPECT_EQ(service.setFrame(id, {500, 500, 300, 200}), WindowError::noWindowManager);
    // A new window manager takes over and requests work again.
    ASSERT_TRUE(desktop->startWindowManager());
    EXPECT_TRUE(eventually([&] { return service.trusted(); }));
    EXPECT_EQ(service.setFrame(id, {500, 500, 300, 200}), WindowError::success);
    observation.reset();
    desktop->closeWindow(*pid);
}

TEST_F(X11WindowServiceTest, AnXServerThatDiesLeavesErrorsNotHangsOrCrashes) {
    auto pid = desktop->openWindow("Doomed", 300, 200, 10, 10);
    ASSERT_TRUE(pid);
    const WindowID id = *windowOf(*pid);
    ASSERT_FALSE(service.windowList().empty());
    WindowEvents handlers;
    handlers.windowCreated = [](WindowID, ProcessID) {};
    auto observation = service.observe(handlers);

    desktop->stopXServer();
    EXPECT_FALSE(service.trusted());
    EXPECT_TRUE(service.windowList().empty());
    EXPECT_FALSE(service.window(id));
    EXPECT_EQ(service.setFrame(id, {500, 500, 300, 200}), WindowError::invalidConnection);
    EXPECT_EQ(service.setFrames({{id, {500, 500, 300, 200}}}),
              std::vector<WindowError>{WindowError::invalidConnection});
    EXPECT_FALSE(service.focusedWindow());
    EXPECT_FALSE(service.windowAtPoint({20, 20}));
    observation.reset();  // the observer's thread ends although its server is gone
}

}  // namespace
}  // namespace vl
