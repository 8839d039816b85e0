#include "app/AppDelegate.h"

#include "app/SystemInfo.h"
#include "app/tests/TestSystem.h"
#include "base/Logger.h"
#include "base/testing/LogCapture.h"
#include "comm/ControlRecords.h"
#include "comm/ControlServer.h"
#include "platform/defaults/fake/MemoryDefaults.h"
#include "platform/host/fake/FakeHostFacts.h"
#include "platform/power/fake/FakePower.h"
#include "platform/security/fake/MemoryKeychain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

using namespace vl;

namespace {

class AppDelegateTest : public ::testing::Test, protected vl::testing::TestSystem {
  protected:
    AppDelegate::Hooks recordingHooks() {
        AppDelegate::Hooks hooks;
        hooks.prepareServices = [this] { steps.push_back("prepare"); };
        hooks.startServices = [this] { steps.push_back("start"); };
        hooks.stopServices = [this] { steps.push_back("stop"); };
        hooks.cleanupServices = [this] { steps.push_back("cleanup"); };
        hooks.enableOpenAtLogin = [this]() -> std::optional<std::string> {
            steps.push_back("login item");
            return loginItemError;
        };
        return hooks;
    }
    bool logged(const std::string& text) { return log.contains(text); }

    std::vector<std::string> steps;
    std::optional<std::string> loginItemError;
    vl::testing::LogCapture log;
};

TEST_F(AppDelegateTest, LaunchAndTerminationRunTheirStepsInOrder) {
    loginItemError = "no autostart folder";
    auto app = std::make_shared<AppDelegate>(recordingHooks(), system);
    app->applicationWillFinishLaunching();
    app->applicationDidFinishLaunching();
    app->applicationWillTerminate();
    EXPECT_EQ(steps,
              (std::vector<std::string>{"login item", "prepare", "start", "stop", "cleanup"}));
    EXPECT_TRUE(logged("Failed to enable Open at Login: no autostart folder"));
    // The host name becomes the advertised name when none is stored, and a stored one is kept.
    EXPECT_EQ(defaults->string(SystemInfoKeys::machinename), "atelier");
    defaults->set(SystemInfoKeys::machinename, "Living room");
    app->applicationDidFinishLaunching();
    EXPECT_EQ(defaults->string(SystemInfoKeys::machinename), "Living room");
    app->applicationWillTerminate();
}

TEST_F(AppDelegateTest, SessionNotificationsTrackTheConnectedClientUntilTermination) {
    auto app = std::make_shared<AppDelegate>(AppDelegate::Hooks{}, system);
    app->applicationDidFinishLaunching();
    EXPECT_FALSE(app->iconConnected());

    ConnectReq request;
    request.clientDeviceID = "device-7";
    request.clientDeviceName = "Headset";
    NotificationCenter::defaultCenter().post(clientConnectNotification, request);
    EXPECT_EQ(app->currentConnectedClient(), "device-7");
    EXPECT_TRUE(app->iconConnected());
    EXPECT_TRUE(logged("Client connected: Headset (device-7)"));

    NotificationCenter::defaultCenter().post(clientDisconnectNotification);
    EXPECT_FALSE(app->iconConnected());

    // After termination the delegate no longer follows the notifications.
    app->applicationWillTerminate();
    NotificationCenter::defaultCenter().post(clientConnectNotification, request);
    EXPECT_FALSE(app->iconConnected());
}

}  // namespace
