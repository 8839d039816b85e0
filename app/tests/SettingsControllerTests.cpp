#include "app/shell/SettingsController.h"

#include "app/SystemInfo.h"
#include "app/tests/TestSystem.h"
#include "base/NotificationCenter.h"
#include "comm/AppShell.h"
#include "comm/ControlServer.h"
#include "platform/defaults/fake/MemoryDefaults.h"
#include "platform/host/fake/FakeHostFacts.h"
#include "platform/power/fake/FakePower.h"
#include "platform/security/fake/MemoryKeychain.h"

#include <gtest/gtest.h>

using namespace vl;

namespace {

class SettingsControllerTest : public ::testing::Test, protected vl::testing::TestSystem {
  protected:
    void SetUp() override {
        disconnectToken = NotificationCenter::defaultCenter().addObserver(
            clientDisconnectNotification, [this](const std::any&) { steps.push_back("posted"); });
    }
    void TearDown() override {
        NotificationCenter::defaultCenter().removeObserver(disconnectToken);
    }

    SettingsController make() {
        SettingsController::Services services;
        services.shell = shell;
        services.system = system;
        services.startService = [this] {
            steps.push_back("start on " + std::to_string(system->accessControlPort()));
            running = true;
        };
        services.stopService = [this] {
            steps.push_back("stop");
            running = false;
        };
        services.serviceRunning = [this] { return running; };
        services.preventSleep = [this] { steps.push_back("prevent"); };
        services.restoreSleep = [this] { steps.push_back("restore"); };
        return SettingsController(std::move(services));
    }

    std::shared_ptr<BasicAppShell> shell = std::make_shared<BasicAppShell>();
    std::vector<std::string> steps;
    bool running = true;
    NotificationCenter::Token disconnectToken{};
};

TEST_F(SettingsControllerTest, ApplyWithTheSamePortStoresTheFieldsWithoutARestart) {
    auto settings = make();
    EXPECT_EQ(settings.stored().ports, "8788");
    EXPECT_EQ(settings.stored().password, system->password());
    auto result = settings.apply({"studio", "n3w-secret", "8788"});
    EXPECT_FALSE(result.error);
    EXPECT_FALSE(result.restarted);
    EXPECT_TRUE(steps.empty());
    EXPECT_EQ(system->machineName(), "studio");
    EXPECT_EQ(system->password(), "n3w-secret");

    // An empty name keeps the stored one.
    SettingsController fresh = make();
    EXPECT_FALSE(fresh.apply({"", "n3w-secret", "8788"}).error);
    EXPECT_EQ(system->machineName(), "studio");
    EXPECT_EQ(system->password(), "n3w-secret");
}

TEST_F(SettingsControllerTest, ApplyWithANewPortRestartsTheServiceOnIt) {
    auto settings = make();
    auto result = settings.apply({"atelier", "pw", "9000,9001,9002"});
    EXPECT_FALSE(result.error);
    EXPECT_TRUE(result.restarted);
    EXPECT_EQ(steps, (std::vector<std::string>{"stop", "start on 9000"}));
    EXPECT_EQ(settings.stored().ports, "9000");
}

TEST_F(SettingsControllerTest, NonsenseIsRefusedWithAMessageAndNothingStored) {
    auto settings = make();
    const struct {
        SettingsFields fields;
        SettingsError error;
    } cases[] = {
        {{"name", "", "8788"}, SettingsError::emptyPassword},
        {{std::string(10'000, 'n'), "pw", "8788"}, SettingsError::machineNameTooLong},
        {{"name", std::string(300, 'p'), "8788"}, SettingsError::passwordTooLong},
        {{"name", "pw", ""}, SettingsError::portsNotNumbers},
        {{"name", "pw", "87a8"}, SettingsError::portsNotNumbers},
        {{"name", "pw", "9000,9001"}, SettingsError::portsNotNumbers},
        {{"name", "pw", "9000,,9002"}, SettingsError::portsNotNumbers},
        {{"name", "pw", "0"}, SettingsError::portOutOfRange},
        {{"name", "pw", "65530"}, SettingsError::portOutOfRange},
        {{"name", "pw", "-5"}, SettingsError::portOutOfRange},
        {{"name", "pw", "9000,9000,9000"}, SettingsError::portsCollide},
        {{"name", "pw", "9000,9002,9001"}, SettingsError::portsCollide},
    };
    for (const auto& c : cases) {
        auto result = settings.apply(c.fields);
        ASSERT_TRUE(result.error) << c.fields.ports;
        EXPECT_EQ(*result.error, c.error) << c.fields.ports;
        EXPECT_FALSE(description(*result.error).empty());
    }
    EXPECT_FALSE(defaults->object(SystemInfoKeys::machinename));
    EXPECT_FALSE(defaults->object(SystemInfoKeys::password));
    EXPECT_FALSE(defaults->object(SystemInfoKeys::controlport));
    EXPECT_TRUE(steps.empty());
    // Spaces around the ports are forgiven.
    EXPECT_FALSE(settings.apply({"name", "pw", " 9100 , 9101 ,9102"}).error);
    EXPECT_EQ(system->accessControlPort(), 9100);
}

TEST_F(SettingsControllerTest, DoNotDisturbEndsTheSessionAndStopsTheServiceUntilSwitchedOff) {
    auto settings = make();
    shell->setCurrentConnectedClient("DEV-1");
    settings.setDoNotDisturb(true);
    EXPECT_TRUE(settings.doNotDisturb());
    EXPECT_FALSE(shell->currentConnectedClient());
    EXPECT_EQ(steps, (std::vector<std::string>{"posted", "stop"}));
    steps.clear();
    settings.setDoNotDisturb(false);
    EXPECT_EQ(steps, (std::vector<std::string>{"start on 8788"}));
    // Off while the service already runs starts nothing.
    steps.clear();
    settings.setDoNotDisturb(false);
    EXPECT_TRUE(steps.empty());
}

TEST_F(SettingsControllerTest, KeepAwakeIsStoredAndPreventsOrRestoresSleep) {
    auto settings = make();
    EXPECT_TRUE(settings.keepAwake());
    settings.setKeepAwake(false);
    EXPECT_FALSE(system->keepAwake());
    settings.setKeepAwake(true);
    EXPECT_TRUE(system->keepAwake());
    EXPECT_EQ(steps, (std::vector<std::string>{"restore", "prevent"}));
}

}  // namespace
