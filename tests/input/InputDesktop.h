// tests/input: one private desktop per test program — Xvfb with openbox, a private session bus
// with the accessibility bus, and the GTK witness application, which prints every event and state
// change it sees — and the session's input service on it through the real X11 and AT-SPI
// backends. Everything is stopped by process id.
#pragma once

#include "base/testing/Eventually.h"
#include "input/InputService.h"
#include "input/WindowPointerTargets.h"
#include "platform/accessibility/atspi/AtspiAccessibility.h"
#include "platform/desktop/ChildProcess.h"
#include "platform/display/fake/FakeDisplayService.h"
#include "platform/events/x11/X11EventsService.h"
#include "platform/windows/tests/WindowDesktop.h"
#include "platform/windows/x11/X11WindowService.h"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace vl::test {

constexpr DisplayID wholeScreen = 1;
constexpr int screenWidth = 1280;
constexpr int screenHeight = 800;

class InputDesktop {
  public:
    InputDesktop() : desktop_(screenWidth, screenHeight) {
        if (!desktop_.running()) return;
        runtime_ = makeRuntimeDirectory();
        ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        ::setenv("GTK_OVERLAY_SCROLLING", "0", 1);
        ::setenv("NO_AT_BRIDGE", "0", 1);
        if (!startSessionBus() || !startAccessibilityBus()) return;
        if (!desktop_.startWindowManager()) return;
        logFile_ = runtime_ + "/witness.log";
        ChildProcess::Spawn spawn;
        spawn.arguments = {"/usr/bin/python3", INPUT_WITNESS_PATH};
        for (char** e = environ; e && *e; ++e) spawn.environment.emplace_back(*e);
        spawn.logFile = logFile_;
        if (auto child = ChildProcess::start(spawn)) app_ = std::move(*child);
        ready_ = testing::eventually(
            [&] { return count("geometry handle") > 0 && count("event map window=Vl_Input_Back"); },
            std::chrono::seconds(30), std::chrono::milliseconds(20));
    }
    ~InputDesktop() {
        app_.stop(std::chrono::milliseconds(1000));
        if (accessibilityBus_.running()) stopAccessibilityBus();
        if (sessionBusPid_ > 0) {
            // Not our child: wait for it to be gone, as it removes its socket from the folder.
            ::kill(sessionBusPid_, SIGTERM);
            for (int i = 0; i < 200 && ::kill(sessionBusPid_, 0) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::error_code ignored;
        if (!runtime_.empty()) std::filesystem::remove_all(runtime_, ignored);
    }

    bool ready() const { return ready_; }
    // Stops (false) or continues (true) the witness application.
    void pauseApplication(bool resume) { ::kill(app_.pid(), resume ? SIGCONT : SIGSTOP); }
    // The accessibility bus goes away under everything connected to it.
    // Its bus daemon, the launcher's child, is stopped first: the launcher may not outlive a
    // busy machine's grace period to stop it itself.
    void stopAccessibilityBus() {
        std::istringstream children(shell("pgrep -P " + std::to_string(accessibilityBus_.pid())));
        for (pid_t child; children >> child;) ::kill(child, SIGTERM);
        accessibilityBus_.stop(std::chrono::milliseconds(3000));
    }
    std::string why() const { return ready_ ? "" : "desktop not ready: " + text(); }
    const std::string& display() const { return desktop_.display(); }

    // What the witness printed so far.
    std::vector<std::string> lines() const {
        std::vector<std::string> all;
        std::ifstream in(logFile_);
        for (std::string line; std::getline(in, line);) all.push_back(line);
        return all;
    }
    std::string text() const {
        std::string all;
        for (const auto& line : lines()) all += line + "\n";
        return all;
    }
    std::size_t count(const std::string& prefix) const {
        std::size_t n = 0;
        for (const auto& line : lines())
            if (line.rfind(prefix, 0) == 0) ++n;
        return n;
    }
    // The newest line starting with the prefix, from line `from` on.
    std::optional<std::string> last(const std::string& prefix, std::size_t from = 0) const {
        const auto all = lines();
        for (std::size_t i = all.size(); i-- > from;)
            if (all[i].rfind(prefix, 0) == 0) return all[i];
        return std::nullopt;
    }
    bool waitFor(const std::string& line, std::size_t from = 0) const {
        return testing::eventually(
            [&] {
                const auto all = lines();
                for (std::size_t i = from; i < all.size(); ++i)
                    if (all[i] == line) return true;
                return false;
            },
            std::chrono::seconds(10), std::chrono::milliseconds(10));
    }
    // The newest root-window rectangle the witness reported for one of its widgets.
    DisplayRect geometry(const std::string& name) const {
        DisplayRect rect;
        if (auto line = last("geometry " + name + " ")) {
            std::istringstream words(line->substr(10 + name.size()));
            words >> rect.x >> rect.y >> rect.width >> rect.height;
        }
        return rect;
    }

  private:
    static std::string makeRuntimeDirectory() {
        char path[] = "/tmp/vl-input-XXXXXX";
        const char* made = ::mkdtemp(path);
        if (made) ::chmod(made, 0700);
        return made ? made : "";
    }
    // A session bus with nothing D-Bus-activatable: the accessibility bus, once stopped, must not
    // be started again by the next client that asks for its address.
    bool startSessionBus() {
        const std::string config = runtime_ + "/session.conf";
        std::ofstream(config)
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
               "1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type><listen>unix:tmpdir="
            << runtime_
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
               "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
               "<allow own=\"*\"/></policy></busconfig>\n";
        const std::string out = shell("dbus-daemon --config-file=" + config +
                                      " --fork --print-address=1 --print-pid=1");
        std::istringstream lines(out);
        std::string address, pid;
        std::getline(lines, address);
        std::getline(lines, pid);
        if (address.empty() || pid.empty()) return false;
        sessionBusPid_ = std::stoi(pid);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        return true;
    }
    // Started here rather than by activation, so that it is stopped by its process id.
    bool startAccessibilityBus() {
        ChildProcess::Spawn spawn;
        spawn.arguments = {"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"};
        for (char** e = environ; e && *e; ++e) spawn.environment.emplace_back(*e);
        auto child = ChildProcess::start(spawn);
        if (!child) return false;
        accessibilityBus_ = std::move(*child);
        return testing::eventually(
            [] {
                return shell(
                           "dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus "
                           "org.a11y.Bus.GetAddress")
                           .find("unix:") != std::string::npos;
            },
            std::chrono::seconds(20), pollInterval);
    }

    WindowDesktop desktop_;
    std::string runtime_;
    std::string logFile_;
    pid_t sessionBusPid_ = -1;
    ChildProcess accessibilityBus_;
    ChildProcess app_;
    bool ready_ = false;
};

}  // namespace vl::test
