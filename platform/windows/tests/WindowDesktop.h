// Test helper: a private X server with an EWMH window manager (openbox) and test windows of
// known titles and sizes, each a process of its own, all stopped by process id.
#pragma once

#include "base/testing/CommandOutput.h"
#include "base/testing/Eventually.h"
#include "platform/capture/tests/XvfbServer.h"
#include "platform/desktop/ChildProcess.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vl::test {

// Each poll below starts a process: asking every 2 ms would load a busy machine enough to starve
// the window manager being waited for.
constexpr auto pollInterval = std::chrono::milliseconds(50);
constexpr auto startUpTimeout = std::chrono::seconds(30);
constexpr auto managedTimeout = std::chrono::seconds(10);

inline std::string shell(const std::string& command) {
    return vl::testing::commandOutput(command + " 2>/dev/null");
}

class WindowDesktop {
  public:
    // The X server and $DISPLAY for this process; the window manager is started separately.
    WindowDesktop(int width, int height) : xvfb_(width, height) {
        if (xvfb_.running()) ::setenv("DISPLAY", xvfb_.name().c_str(), 1);
    }
    ~WindowDesktop() {
        for (auto& window : windows_) window.terminate();
        for (auto& window : windows_) window.stop(std::chrono::milliseconds(1000));
        stopWindowManager();
    }

    bool running() const { return xvfb_.running(); }
    // The X server goes away under everything connected to it.
    void stopXServer() { xvfb_.stop(); }
    const std::string& display() const { return xvfb_.name(); }

    // Starts openbox and waits until it has announced itself on the root window.
    bool startWindowManager() {
        auto child = ChildProcess::start(spawn({"openbox", "--sm-disable"}));
        if (!child) return false;
        windowManager_ = std::move(*child);
        // Its theme is announced last in start-up, when it manages windows.
        return testing::eventually(
            [] { return shell("xprop -root _OB_THEME").find(" = ") != std::string::npos; },
            startUpTimeout, pollInterval);
    }
    bool windowManagerRunning() { return windowManager_.running(); }
    // Stops it and forgets what it announced (window ids are reused by later test windows).
    void stopWindowManager() {
        windowManager_.stop(std::chrono::milliseconds(1000));
        shell("xprop -root -remove _OB_THEME -remove _NET_CLIENT_LIST -remove _NET_ACTIVE_WINDOW");
    }

    // A window of the test window program; its process id, once the window is managed.
    std::optional<pid_t> openWindow(const std::string& title, int width, int height, int x, int y,
                                    const std::string& type = "normal") {
        auto child = ChildProcess::start(
            spawn({TEST_WINDOW_PATH, title, std::to_string(width), std::to_string(height),
                   std::to_string(x), std::to_string(y), "VlTestWindow", type}));
        if (!child) return std::nullopt;
        const pid_t pid = child->pid();
        windows_.push_back(std::move(*child));
        std::string id;
        const bool shown = testing::eventually(
            [&] {
                id = shell("xdotool search --all --pid " + std::to_string(pid) + " --name '^" +
                           title + "$'");
                return !id.empty();
            },
            startUpTimeout, pollInterval);
        if (!shown) {
            std::fprintf(stderr, "test window '%s' never appeared\n", title.c_str());
            return std::nullopt;
        }
        if (!windowManager_.running()) return pid;
        // Managed: in the window manager's client list.
        char hex[32];
        std::snprintf(hex, sizeof hex, "0x%lx", std::stoul(id));
        auto inClientList = [&] {
            return shell("xprop -root _NET_CLIENT_LIST").find(hex) != std::string::npos;
        };
        bool managed = testing::eventually(inClientList, managedTimeout, pollInterval);
        // Seen under load: openbox, just started, drops the map request of the first window (it
        // stays unmapped under the root); a window manager restarted then finds nothing mapped to
        // adopt. Asking again for the map, as a fresh request, gets it managed.
        for (int attempt = 0; !managed && attempt < 2; ++attempt) {
            std::fprintf(stderr, "test window '%s' (%s) not managed after %llds; %s\n",
                         title.c_str(), hex, static_cast<long long>(managedTimeout.count()),
                         attempt == 0 ? "mapping it again"
                                      : "restarting the window manager and mapping it again");
            if (attempt == 1) {
                stopWindowManager();
                if (!startWindowManager()) break;
            }
            shell(std::string("xdotool windowmap ") + hex);
            managed = testing::eventually(inClientList, managedTimeout, pollInterval);
        }
        if (!managed)
            std::fprintf(stderr, "test window '%s' (%s) not managed (window manager %s): %s%s\n",
                         title.c_str(), hex, windowManager_.running() ? "running" : "gone",
                         shell("xprop -root _NET_CLIENT_LIST").c_str(),
                         shell(std::string("xwininfo -children -stats -id ") + hex).c_str());
        return managed ? std::optional<pid_t>(pid) : std::nullopt;
    }
    void closeWindow(pid_t pid) {
        for (auto& window : windows_)
            if (window.pid() == pid) window.stop(std::chrono::milliseconds(1000));
    }

  private:
    ChildProcess::Spawn spawn(std::vector<std::string> arguments) {
        ChildProcess::Spawn spawn;
        spawn.arguments = std::move(arguments);
        for (char** e = environ; e && *e; ++e) spawn.environment.emplace_back(*e);
        return spawn;
    }

    XvfbServer xvfb_;
    ChildProcess windowManager_;
    std::vector<ChildProcess> windows_;
};

}  // namespace vl::test
