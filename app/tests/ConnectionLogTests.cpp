#include "app/shell/ConnectionLog.h"

#include "app/AppDelegate.h"
#include "app/SystemInfo.h"
#include "base/Bytes.h"
#include "comm/ControlRecords.h"
#include "comm/ControlServer.h"
#include "platform/defaults/fake/MemoryDefaults.h"
#include "platform/host/fake/FakeHostFacts.h"
#include "platform/power/fake/FakePower.h"
#include "platform/security/fake/MemoryKeychain.h"

#include <gtest/gtest.h>

using namespace vl;
using namespace std::chrono;

namespace {

system_clock::time_point at(long long secondsSinceEpoch) {
    return system_clock::time_point(seconds(secondsSinceEpoch));
}

TEST(Iso8601, WholeSecondsRoundTripAndOffsetsAreUnderstood) {
    const auto time = at(1'796'671'024);  // 2026-12-07T19:17:04Z
    EXPECT_EQ(iso8601Text(time), "2026-12-07T19:17:04Z");
    EXPECT_EQ(parseIso8601("2026-12-07T19:17:04Z"), time);
    EXPECT_EQ(parseIso8601("2026-12-07T21:17:04+02:00"), time);
    EXPECT_EQ(parseIso8601("2026-12-07T18:47:04-00:30"), time);
    EXPECT_EQ(parseIso8601("2026-12-07T19:17:04.500Z"), time + milliseconds(500));
    for (const char* bad : {"", "2026-12-07", "2026-12-07T19:17:04", "2026-13-07T19:17:04Z",
                            "2026-12-07T19:17:04Zjunk", "2026-12-07 19:17:04Z", "yesterday",
                            "2026-12-07T19:17:04+2:00", "2026-12-07T19:17:04."})
        EXPECT_FALSE(parseIso8601(bad)) << bad;
}

TEST(ConnectionLog, KeepsTheLatest25AndListsThemNewestFirst) {
    long long now = 1000;
    ConnectionLog log([&] { return at(now++); });
    for (int i = 1; i <= 26; ++i) log.add("Vision " + std::to_string(i), "id-" + std::to_string(i));
    ASSERT_EQ(log.size(), 25u);
    EXPECT_EQ(log.items().front().deviceId, "id-2");
    EXPECT_EQ(log.newestFirst().front().deviceId, "id-26");
    EXPECT_EQ(log.newestFirst().back().deviceId, "id-2");

    MemoryDefaults defaults;
    log.save(defaults);
    ConnectionLog reloaded;
    reloaded.load(defaults);
    EXPECT_EQ(reloaded.items(), log.items());
}

TEST(ConnectionLog, TogglingBlocksThenRemovesTheRowCountedFromTheNewest) {
    ConnectionLog log;
    log.add("old", "A");
    log.add("new", "B");
    EXPECT_FALSE(log.isBlocked("A"));
    ASSERT_TRUE(log.toggleBlocked(1));  // row 1 is the older entry
    EXPECT_TRUE(log.isBlocked("A"));
    EXPECT_FALSE(log.isBlocked("B"));
    ASSERT_TRUE(log.toggleBlocked(1));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log.items()[0].deviceId, "B");
    EXPECT_FALSE(log.isBlocked("A"));
    EXPECT_FALSE(log.toggleBlocked(1));
    EXPECT_FALSE(log.remove(5));
}

TEST(ConnectionLog, SavedLogsIsAJsonArrayWithIsoDates) {
    ConnectionLog log([] { return at(1'796'671'024); });
    log.add("Vision \"Pro\"", "DEV-1");
    log.setBlocked(0, true);
    MemoryDefaults defaults;
    log.save(defaults);
    auto data = defaults.data(ConnectionLog::key);
    ASSERT_TRUE(data);
    EXPECT_EQ(stringOf(*data),
              R"([{"blocked":true,"description":"Vision \"Pro\"","deviceId":"DEV-1",)"
              R"("time":"2026-12-07T19:17:04Z"}])");
}

TEST(ConnectionLog, UndecodableSavedLogsStartEmptyAndAreKeptAside) {
    for (std::string corrupt : {std::string("not json"), std::string("{\"time\":1}"),
                                std::string(R"([{"time":"yesterday","description":"x",)"
                                            R"("deviceId":"y","blocked":false}])"),
                                std::string(R"([{"time":"2026-12-07T19:17:04Z"}])")}) {
        MemoryDefaults defaults;
        defaults.set(ConnectionLog::key, bytesOf(corrupt));
        ConnectionLog log;
        log.add("stale", "S");
        log.load(defaults);
        EXPECT_EQ(log.size(), 0u) << corrupt;
        EXPECT_FALSE(defaults.object(ConnectionLog::key)) << corrupt;
        EXPECT_EQ(defaults.data(ConnectionLog::asideKey), bytesOf(corrupt));
    }
    // Nothing stored is simply an empty list, with nothing set aside.
    MemoryDefaults empty;
    ConnectionLog log;
    log.load(empty);
    EXPECT_EQ(log.size(), 0u);
    EXPECT_FALSE(empty.object(ConnectionLog::asideKey));
}

TEST(ConnectionLog, TheDelegateLogsConnectionsAndRefusesBlockedDevicesAcrossLaunches) {
    auto defaults = std::make_shared<MemoryDefaults>();
    auto system = std::make_shared<SystemInfo>(
        SystemServices{defaults, std::make_shared<MemoryKeychain>(), std::make_shared<FakePower>(),
                       std::make_shared<FakeHostFacts>()});
    int posted = 0;
    auto token = NotificationCenter::defaultCenter().addObserver(
        addClientInfoStrNotification, [&](const std::any& object) {
            if (std::any_cast<LogItem>(&object)) ++posted;
        });
    {
        auto app = std::make_shared<AppDelegate>(AppDelegate::Hooks{}, system);
        app->applicationDidFinishLaunching();
        ConnectReq request;
        request.clientDeviceID = "DEV-9";
        request.clientDeviceName = "Headset";
        NotificationCenter::defaultCenter().post(clientConnectNotification, request);
        EXPECT_EQ(posted, 1);
        ASSERT_EQ(app->log().size(), 1u);
        EXPECT_FALSE(app->isBlocked("DEV-9"));
        app->log().toggleBlocked(0);
        EXPECT_TRUE(app->isBlocked("DEV-9"));
        app->applicationWillTerminate();
    }
    auto next = std::make_shared<AppDelegate>(AppDelegate::Hooks{}, system);
    next->applicationDidFinishLaunching();
    EXPECT_TRUE(next->isBlocked("DEV-9"));
    next->applicationWillTerminate();
    NotificationCenter::defaultCenter().removeObserver(token);
}

}  // namespace
