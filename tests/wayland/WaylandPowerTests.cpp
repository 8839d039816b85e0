// Display-sleep prevention on a GNOME session: an idle inhibitor of the session manager (a
// stand-in on the test's own bus, as gnome-session is not installed here), released again; and
// one report when no session manager answers.
#include "platform/desktop/ChildProcess.h"
#include "platform/desktop/SessionBus.h"
#include "platform/power/gnome/GnomeSessionPower.h"
#include "tests/wayland/Eventually.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <stdlib.h>

namespace vl {
namespace {

using testing::eventually;

class WaylandPowerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "vl-power.XXXXXX").string();
        ASSERT_TRUE(mkdtemp(pattern.data()));
        root = pattern;
        bus = SessionBus::start({.directory = root});
        ASSERT_TRUE(bus);
    }
    void TearDown() override {
        manager.stop();
        bus.reset();
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    void startManager() {
        auto child =
            ChildProcess::start({.arguments = {"/usr/bin/python3", VL_SESSION_MANAGER},
                                 .environment = {"DBUS_SESSION_BUS_ADDRESS=" + bus->address()},
                                 .logFile = root + "/manager.log"});
        ASSERT_TRUE(child);
        manager = std::move(*child);
        ASSERT_TRUE(eventually([&] { return log().find("ready") != std::string::npos; })) << log();
    }
    std::string log() const {
        std::ifstream file(root + "/manager.log");
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    std::string root;
    std::unique_ptr<SessionBus> bus;
    ChildProcess manager;
    std::vector<std::string> reports;
};

TEST_F(WaylandPowerTest, AnIdleInhibitorIsTakenAndReleased) {
    startManager();
    GnomeSessionPower power(bus->address(),
                            [&](const std::string& text) { reports.push_back(text); });
    auto cookie = power.preventUserIdleDisplaySleep("Vantrel Link client connected");
    ASSERT_TRUE(cookie) << ::testing::PrintToString(reports);
    EXPECT_NE(log().find("inhibit vantrel-link 8 Vantrel Link client connected -> " +
                         std::to_string(*cookie)),
              std::string::npos)
        << log();
    EXPECT_FALSE(power.declareUserActivity("Vantrel Link client connected"));
    power.releaseAssertion(*cookie);
    EXPECT_TRUE(eventually([&] {
        return log().find("uninhibit " + std::to_string(*cookie)) != std::string::npos;
    })) << log();
    EXPECT_TRUE(reports.empty());
}

TEST_F(WaylandPowerTest, WithoutASessionManagerItSaysSoOnce) {
    GnomeSessionPower power(bus->address(),
                            [&](const std::string& text) { reports.push_back(text); });
    EXPECT_FALSE(power.preventUserIdleDisplaySleep("a"));
    EXPECT_FALSE(power.preventUserIdleDisplaySleep("b"));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports.front().find("unavailable"), std::string::npos) << reports.front();
}

}  // namespace
}  // namespace vl
