#include "windowsmgmt/WindowManagementRole.h"

#include "base/testing/ManualClock.h"
#include "platform/display/fake/FakeDisplayService.h"
#include "platform/windows/fake/FakeWindowServer.h"

#include <gtest/gtest.h>

namespace vl {
namespace {

// The per-client layouts across sessions: kept at stop, given back only at the same resolution.
class WindowManagementRoleTest : public ::testing::Test {
  protected:
    WindowManagementRoleTest() {
        displays.addDisplay(FakeDisplayService::make(1, {0, 0, 1920, 1080}));
        role = std::make_unique<WindowManagementRole>(
            VNSWindowManager::make(displays, windows, {}, queue, clock));
    }
    FakeDisplayService displays;
    FakeWindowServer windows;
    DispatchQueue queue{"windowsmgmt.role.tests"};
    testing::ManualClock clock;
    std::unique_ptr<WindowManagementRole> role;
};

TEST_F(WindowManagementRoleTest, ALayoutComesBackOnlyForTheSameClientAndResolution) {
    WindowRecord record;
    record.pid = 7;
    record.title = "Doc";
    record.frame = {300, 200, 800, 600};
    auto doc = windows.addWindow(record);
    EXPECT_EQ(role->saveWindowLayout("client-a", "1920x1080"), 1);
    EXPECT_TRUE(role->hasWindowLayout("client-a", "1920x1080"));
    EXPECT_FALSE(role->hasWindowLayout("client-a", "2560x1440"));
    EXPECT_FALSE(role->hasWindowLayout("client-b", "1920x1080"));

    windows.setFrame(doc, {0, 0, 640, 480});
    role->restoreWindowLayout("client-a", "2560x1440");
    EXPECT_EQ(*windows.frame(doc), (DisplayRect{0, 0, 640, 480}));
    role->restoreWindowLayout("client-a", "1920x1080");
    EXPECT_EQ(*windows.frame(doc), (DisplayRect{300, 200, 800, 600}));

    // A later stop replaces the client's layout, resolution included.
    EXPECT_EQ(role->saveWindowLayout("client-a", "2560x1440"), 1);
    EXPECT_FALSE(role->hasWindowLayout("client-a", "1920x1080"));
}

TEST_F(WindowManagementRoleTest, TheCallbackReachesTheManagerAndCanBeCleared) {
    int calls = 0;
    role->setOnActiveWindowDisplayChanged([&](DisplayID) { ++calls; });
    WindowRecord record;
    record.pid = 7;
    record.frame = {10, 10, 500, 400};
    auto doc = windows.addWindow(record);
    role->manager().reportActiveWindowDisplayIfChanged(doc);
    role->setOnActiveWindowDisplayChanged(nullptr);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(role->manager().onActiveWindowDisplayChanged);
}

}  // namespace
}  // namespace vl
