#include "base/testing/CommandOutput.h"
#include "platform/desktop/SessionBus.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include <signal.h>

using namespace vl;

namespace {

class SessionBusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vl-session-bus.XXXXXX").string();
        ASSERT_TRUE(::mkdtemp(pattern.data()));
        directory = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
    std::string directory;
};

TEST_F(SessionBusTest, ApplicationsMeetOnItAndFindTheAccessibilityBusThroughIt) {
    auto bus = SessionBus::start({.directory = directory});
    ASSERT_TRUE(bus);
    EXPECT_EQ(bus->address(), "unix:path=" + directory + "/bus");

    const std::string send = "dbus-send --bus='" + bus->address() + "' --print-reply ";
    EXPECT_NE(vl::testing::commandOutput(
                  send + "--dest=org.freedesktop.DBus / org.freedesktop.DBus.ListNames")
                  .find("org.freedesktop.DBus"),
              std::string::npos);
    // Started on demand from the session bus: what a desktop's applications and our own
    // accessibility backend ask first.
    EXPECT_NE(vl::testing::commandOutput(
                  send + "--dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress")
                  .find("unix:"),
              std::string::npos);

    const pid_t pid = bus->pid();
    bus.reset();
    EXPECT_NE(::kill(pid, 0), 0) << "the daemon outlived its owner";
    EXPECT_FALSE(std::filesystem::exists(directory + "/bus"));
}

TEST_F(SessionBusTest, ADaemonThatCannotStartIsReportedAndGivesNoBus) {
    std::string reported;
    auto bus = SessionBus::start({.program = "vl-no-such-bus-daemon", .directory = directory},
                                 [&](const std::string& text) { reported = text; });
    EXPECT_FALSE(bus);
    EXPECT_NE(reported.find("vl-no-such-bus-daemon"), std::string::npos) << reported;
}

}  // namespace
