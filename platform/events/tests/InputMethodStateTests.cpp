// The input method question against stand-ins of Fcitx 5 and IBus on private buses: a layout
// engine answers false, an input method engine true, and no framework or one that never answers
// false without holding the caller beyond the timeout.
#include "platform/events/dbus/DbusInputMethodState.h"

#include "base/testing/Eventually.h"
#include "platform/desktop/ChildProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include <unistd.h>

extern char** environ;

namespace vl {
namespace {

using namespace std::chrono_literals;

// A bus of our own, stopped by its process id.
class PrivateBus {
  public:
    PrivateBus() {
        std::unique_ptr<FILE, decltype(&pclose)> pipe(
            popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r"), &pclose);
        char line[512];
        if (pipe && std::fgets(line, sizeof line, pipe.get())) address_ = line;
        if (pipe && std::fgets(line, sizeof line, pipe.get())) pid_ = std::atoi(line);
        while (!address_.empty() && (address_.back() == '\n')) address_.pop_back();
    }
    ~PrivateBus() {
        if (pid_ > 0) ::kill(pid_, SIGTERM);
    }
    const std::string& address() const { return address_; }

  private:
    std::string address_;
    pid_t pid_ = -1;
};

class FakeFramework {
  public:
    FakeFramework(const PrivateBus& bus, const std::string& kind, const std::string& engine) {
        static int made = 0;
        log_ = "/tmp/vl-im-" + std::to_string(::getpid()) + "-" + std::to_string(made++) + ".log";
        ChildProcess::Spawn spawn;
        spawn.arguments = {"/usr/bin/python3", FAKE_INPUT_METHOD_PATH, kind, engine};
        for (char** e = environ; e && *e; ++e)
            if (std::string(*e).rfind("DBUS_SESSION_BUS_ADDRESS=", 0) != 0)
                spawn.environment.emplace_back(*e);
        spawn.environment.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus.address());
        spawn.logFile = log_;
        if (auto child = ChildProcess::start(spawn)) process_ = std::move(*child);
        ready_ = testing::eventually(
            [&] {
                std::ifstream in(log_);
                std::string word;
                return in >> word && word == "ready";
            },
            20s, 20ms);
    }
    ~FakeFramework() {
        process_.stop(1000ms);
        std::remove(log_.c_str());
    }
    bool ready() const { return ready_; }

  private:
    std::string log_;
    ChildProcess process_;
    bool ready_ = false;
};

class InputMethodStateTest : public ::testing::Test {
  protected:
    DbusInputMethodState::Options options() {
        DbusInputMethodState::Options o;
        o.sessionBusAddress = session_.address();
        o.ibusAddress = "unix:path=/nonexistent/ibus";
        o.keep = 0ms;
        return o;
    }
    PrivateBus session_;
};

TEST_F(InputMethodStateTest, NoFrameworkMeansAPlainLayout) {
    ASSERT_FALSE(session_.address().empty());
    DbusInputMethodState state(options());
    EXPECT_FALSE(state.activeEngine());
    EXPECT_FALSE(state.imeInputSourceActive());
}

TEST_F(InputMethodStateTest, FcitxLayoutsAndInputMethods) {
    {
        FakeFramework fcitx(session_, "fcitx5", "keyboard-us");
        ASSERT_TRUE(fcitx.ready());
        DbusInputMethodState state(options());
        EXPECT_EQ(state.activeEngine(), "keyboard-us");
        EXPECT_FALSE(state.imeInputSourceActive());
    }
    FakeFramework fcitx(session_, "fcitx5", "mozc");
    ASSERT_TRUE(fcitx.ready());
    DbusInputMethodState state(options());
    EXPECT_TRUE(state.imeInputSourceActive());
}

TEST_F(InputMethodStateTest, IbusGlobalEngineOnItsOwnBus) {
    PrivateBus ibusBus;
    auto o = options();
    o.ibusAddress = ibusBus.address();
    {
        FakeFramework ibus(ibusBus, "ibus", "xkb:us::eng");
        ASSERT_TRUE(ibus.ready());
        DbusInputMethodState state(o);
        EXPECT_EQ(state.activeEngine(), "xkb:us::eng");
        EXPECT_FALSE(state.imeInputSourceActive());
    }
    FakeFramework ibus(ibusBus, "ibus", "anthy");
    ASSERT_TRUE(ibus.ready());
    DbusInputMethodState state(o);
    EXPECT_TRUE(state.imeInputSourceActive());
}

TEST_F(InputMethodStateTest, AFrameworkThatNeverAnswersCountsAsALayout) {
    FakeFramework fcitx(session_, "fcitx5", "--hang");
    ASSERT_TRUE(fcitx.ready());
    auto o = options();
    o.timeout = 100ms;
    DbusInputMethodState state(o);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(state.imeInputSourceActive());
    // Bounded by the timeout, not by D-Bus's default of 25 seconds.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(InputMethodEngineNames, LayoutsOfEachFramework) {
    for (const char* layout : {"keyboard-us", "keyboard-de-nodeadkeys", "fcitx-keyboard-fr",
                               "xkb:us::eng", "xkb:jp::jpn"})
        EXPECT_TRUE(DbusInputMethodState::isLayout(layout)) << layout;
    for (const char* method : {"pinyin", "mozc", "anthy", "hangul", "keyboard"})
        EXPECT_FALSE(DbusInputMethodState::isLayout(method)) << method;
}

}  // namespace
}  // namespace vl
