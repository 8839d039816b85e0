#include "app/SystemInfo.h"

#include "base/Uuid.h"
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
    void SetUp() override { SystemInfo::configure({defaults, keychain, power, host}); }
    void TearDown() override { SystemInfo::restoreSystemSleepOrLock(); }

    std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
    std::shared_ptr<MemoryKeychain> keychain = std::make_shared<MemoryKeychain>();
    std::shared_ptr<FakePower> power = std::make_shared<FakePower>();
    std::shared_ptr<FakeHostFacts> host = std::make_shared<FakeHostFacts>();
};

}  // namespace

TEST_F(SystemInfoTest, WithoutAPasswordOneIsGeneratedOnceStoredAndDifferentForEachInstallation) {
    const std::string first = SystemInfo::password();
    ASSERT_EQ(first.size(), SystemInfo::generatedPasswordLength);
    for (char c : first) EXPECT_NE(SystemInfo::passwordAlphabet.find(c), std::string_view::npos);
    EXPECT_EQ(SystemInfo::password(), first);
    EXPECT_EQ(defaults->string(SystemInfoKeys::password), first);

    // Another installation gets another one.
    SystemInfo::configure({std::make_shared<MemoryDefaults>(), keychain, power, host});
    EXPECT_NE(SystemInfo::password(), first);

    // A password that was set is kept as it is.
    SystemInfo::configure({defaults, keychain, power, host});
    defaults->set(SystemInfoKeys::password, std::string("n3w pass"));
    EXPECT_EQ(SystemInfo::password(), "n3w pass");
}

TEST_F(SystemInfoTest, EmptySettingsGiveTheBuiltInDefaults) {
    EXPECT_EQ(SystemInfo::accessControlPort(), 8788);
    EXPECT_TRUE(SystemInfo::keepAwake());
    EXPECT_EQ(SystemInfo::machineName(), "testhost");
    host->name = "";
    EXPECT_EQ(SystemInfo::machineName(), "SuperMe");
    defaults->set(SystemInfoKeys::machinename, std::string("studio"));
    EXPECT_EQ(SystemInfo::machineName(), "studio");
    defaults->set(SystemInfoKeys::keepawake, false);
    EXPECT_FALSE(SystemInfo::keepAwake());
}

TEST_F(SystemInfoTest, ControlPortAcceptsASignedDecimalAndFallsBackOtherwise) {
    auto portFor = [&](const char* text) {
        defaults->set(SystemInfoKeys::controlport, std::string(text));
        return SystemInfo::accessControlPort();
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
    EXPECT_FALSE(SystemInfo::machineIPAddress());
    host->list = std::vector<NetworkInterface>{
        {"lo", true, true, true, "127.0.0.1"},
        {"eth0", true, true, false, std::nullopt},  // its IPv6 entry
        {"eth1", true, false, false, "10.0.0.9"},   // up but not running
        {"eth2", false, false, false, "10.0.0.8"},
        {"wlan0", true, true, false, "192.168.1.20"},
        {"eth3", true, true, false, "192.168.1.21"},
    };
    EXPECT_EQ(SystemInfo::machineIPAddress(), "192.168.1.20");
    host->list = std::nullopt;  // the list cannot be read
    EXPECT_FALSE(SystemInfo::machineIPAddress());
}

TEST_F(SystemInfoTest, AppUniqueIDIsCreatedOnceAndKept) {
    std::string first = SystemInfo::appUniqueID();
    auto parsed = Uuid::fromString(first);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->uuidString(), first);  // upper case
    EXPECT_EQ(SystemInfo::appUniqueID(), first);
    EXPECT_EQ(keychain->copyItem("com.corvane.vantrellink.appid", "AppUniqueID"), bytesOf(first));
    EXPECT_EQ(keychain->addCalls, 1);
}

TEST_F(SystemInfoTest, AppUniqueIDStoreFailureIsReportedAndYieldsAFreshIdentity) {
    keychain->failAdds = true;
    std::vector<std::string> lines;
    Logger::shared().setCaptureHook([&](const std::string& line) { lines.push_back(line); });
    std::string a = SystemInfo::appUniqueID();
    std::string b = SystemInfo::appUniqueID();
    Logger::shared().flush();
    Logger::shared().setCaptureHook({});
    EXPECT_NE(a, b);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("Failed to store appUniqueID in Keychain: "), std::string::npos);
}

TEST_F(SystemInfoTest, SleepPreventionHoldsOneDisplayAssertionAndDeclaresActivity) {
    SystemInfo::preventSystemSleepOrLock();
    SystemInfo::preventSystemSleepOrLock();
    EXPECT_EQ(power->displayAssertionsCreated, 1);
    EXPECT_EQ(power->lastName.empty(), false);
    // The activity timer fires at once on the global queue.
    for (int i = 0; i < 500 && power->activeActivityAssertions() == 0; ++i)
        std::this_thread::sleep_for(2ms);
    EXPECT_EQ(power->activeActivityAssertions(), 1u);
    EXPECT_EQ(power->activeDisplayAssertions(), 1u);

    SystemInfo::restoreSystemSleepOrLock();
    EXPECT_EQ(power->activeDisplayAssertions(), 0u);
    EXPECT_EQ(power->activeActivityAssertions(), 0u);
    int releases = power->releases;
    SystemInfo::restoreSystemSleepOrLock();
    EXPECT_EQ(power->releases, releases);

    SystemInfo::preventSystemSleepOrLock();
    EXPECT_EQ(power->displayAssertionsCreated, 2);
}
