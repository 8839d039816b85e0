#include "app/SystemInfo.h"

#include "base/Logger.h"
#include "base/Uuid.h"
#include "base/testing/Eventually.h"
#include "platform/defaults/fake/MemoryDefaults.h"
#include "platform/host/fake/FakeHostFacts.h"
#include "platform/power/fake/FakePower.h"
#include "platform/security/fake/MemoryKeychain.h"

#include <gtest/gtest.h>

#include <thread>

using namespace vl;
using namespace std::chrono_literals;

namespace {

class SystemInfoTest : public ::testing::Test {
  protected:
    std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
    std::shared_ptr<MemoryKeychain> keychain = std::make_shared<MemoryKeychain>();
    std::shared_ptr<FakePower> power = std::make_shared<FakePower>();
    std::shared_ptr<FakeHostFacts> host = std::make_shared<FakeHostFacts>();
    SystemInfo system{{defaults, keychain, power, host}};
};

}  // namespace

TEST_F(SystemInfoTest, WithoutAPasswordOneIsGeneratedOnceStoredAndDifferentForEachInstallation) {
    const std::string first = system.password();
    ASSERT_EQ(first.size(), SystemInfo::generatedPasswordLength);
    for (char c : first) EXPECT_NE(SystemInfo::passwordAlphabet.find(c), std::string_view::npos);
    EXPECT_EQ(system.password(), first);
    EXPECT_EQ(defaults->string(SystemInfoKeys::password), first);

    // Another installation gets another one.
    SystemInfo other({std::make_shared<MemoryDefaults>(), keychain, power, host});
    EXPECT_NE(other.password(), first);

    // A password that was set is kept as it is.
    defaults->set(SystemInfoKeys::password, std::string("n3w pass"));
    EXPECT_EQ(system.password(), "n3w pass");
}

TEST_F(SystemInfoTest, EmptySettingsGiveTheBuiltInDefaults) {
    EXPECT_EQ(system.accessControlPort(), 8788);
    EXPECT_TRUE(system.keepAwake());
    EXPECT_EQ(system.machineName(), "testhost");
    host->name = "";
    EXPECT_EQ(system.machineName(), "SuperMe");
    defaults->set(SystemInfoKeys::machinename, std::string("studio"));
    EXPECT_EQ(system.machineName(), "studio");
    defaults->set(SystemInfoKeys::machinename, std::string());  // an empty name is no name
    EXPECT_EQ(system.machineName(), "SuperMe");
    defaults->set(SystemInfoKeys::keepawake, false);
    EXPECT_FALSE(system.keepAwake());
}

TEST_F(SystemInfoTest, ControlPortAcceptsASignedDecimalAndFallsBackOtherwise) {
    auto portFor = [&](const char* text) {
        defaults->set(SystemInfoKeys::controlport, std::string(text));
        return system.accessControlPort();
    };
    EXPECT_EQ(portFor("+9000"), 9000);
    EXPECT_EQ(portFor("9000"), 9000);
    EXPECT_EQ(portFor("-5"), -5);  // out of range: the supervisor refuses to start on it
    EXPECT_EQ(portFor("90a0"), 8788);
    EXPECT_EQ(portFor(""), 8788);
    EXPECT_EQ(portFor("+"), 8788);
    EXPECT_EQ(portFor("++1"), 8788);
    EXPECT_EQ(portFor(" 9000"), 8788);
    EXPECT_EQ(portFor("99999999999"), 8788);
}

TEST_F(SystemInfoTest, IPAddressIsTheFirstUpRunningNonLoopbackIPv4InListOrder) {
    EXPECT_FALSE(system.machineIPAddress());
    host->list = std::vector<NetworkInterface>{
        {"lo", true, true, true, "127.0.0.1"},
        {"eth0", true, true, false, std::nullopt},  // its IPv6 entry
        {"eth1", true, false, false, "10.0.0.9"},   // up but not running
        {"eth2", false, false, false, "10.0.0.8"},
        {"wlan0", true, true, false, "192.168.1.20"},
        {"eth3", true, true, false, "192.168.1.21"},
    };
    EXPECT_EQ(system.machineIPAddress(), "192.168.1.20");
    host->list = std::nullopt;  // the list cannot be read
    EXPECT_FALSE(system.machineIPAddress());
}

TEST_F(SystemInfoTest, AppUniqueIDIsCreatedOnceAndKept) {
    std::string first = system.appUniqueID();
    auto parsed = Uuid::fromString(first);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->uuidString(), first);  // upper case
    EXPECT_EQ(system.appUniqueID(), first);
    EXPECT_EQ(keychain->copyItem("com.corvane.vantrellink.appid", "AppUniqueID"), bytesOf(first));
    EXPECT_EQ(keychain->addCalls, 1);
}

TEST_F(SystemInfoTest, AppUniqueIDStoreFailureIsReportedAndYieldsAFreshIdentity) {
    keychain->failAdds = true;
    std::vector<std::string> lines;
    Logger::shared().setCaptureHook([&](const std::string& line) { lines.push_back(line); });
    std::string a = system.appUniqueID();
    std::string b = system.appUniqueID();
    Logger::shared().flush();
    Logger::shared().setCaptureHook({});
    EXPECT_NE(a, b);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("Failed to store appUniqueID in Keychain: "), std::string::npos);
}

TEST_F(SystemInfoTest, SleepPreventionHoldsOneDisplayAssertionAndDeclaresActivity) {
    system.preventSystemSleepOrLock();
    system.preventSystemSleepOrLock();
    EXPECT_EQ(power->displayAssertionsCreated, 1);
    EXPECT_EQ(power->lastName.empty(), false);
    // The activity timer fires at once on the global queue.
    ASSERT_TRUE(vl::testing::eventually([&] { return power->activeActivityAssertions() != 0; }));
    EXPECT_EQ(power->activeActivityAssertions(), 1u);
    EXPECT_EQ(power->activeDisplayAssertions(), 1u);

    system.restoreSystemSleepOrLock();
    EXPECT_EQ(power->activeDisplayAssertions(), 0u);
    EXPECT_EQ(power->activeActivityAssertions(), 0u);
    int releases = power->releases;
    system.restoreSystemSleepOrLock();
    EXPECT_EQ(power->releases, releases);

    system.preventSystemSleepOrLock();
    EXPECT_EQ(power->displayAssertionsCreated, 2);
}

TEST_F(SystemInfoTest, AnInstanceThatGoesLeavesNoAssertionHeld) {
    {
        SystemInfo held({defaults, keychain, power, host});
        held.preventSystemSleepOrLock();
        EXPECT_EQ(power->activeDisplayAssertions(), 1u);
    }
    EXPECT_EQ(power->activeDisplayAssertions(), 0u);
    EXPECT_EQ(power->activeActivityAssertions(), 0u);
}
