// platform/desktop: the server's own desktop for machines without one. When no X display is
// reachable it starts Xorg with the dummy driver (configuration generated for the virtual
// displays) and a window manager, or Xvfb when Xorg cannot start, and stops them again.
//
// The composition root calls, before it starts any thread:
//     HeadlessDesktop desktop(HeadlessDesktop::Options{}, report);
//     if (auto running = desktop.startIfNeeded()) HeadlessDesktop::exportEnvironment(*running);
// and desktop.stop() at exit (the destructor stops it too). Children are tied to the thread that
// started them (they get SIGTERM when it ends), so start from the main thread.
#pragma once

#include "platform/desktop/ChildProcess.h"
#include "platform/desktop/DesktopSession.h"
#include "platform/desktop/DisplayClaim.h"
#include "platform/desktop/XAuthority.h"
#include "platform/desktop/XorgConfiguration.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace vl {

class HeadlessDesktop {
  public:
    enum class Server { existing, xorgDummy, xvfb };

    struct Options {
        DesktopGeometry geometry;
        int firstDisplay = 20;  // display numbers tried, in order (see DisplayClaim)
        int lastDisplay = 69;
        // Configuration, cookie and logs. Empty: $XDG_RUNTIME_DIR/vantrel-link-desktop, else
        // /tmp/vantrel-link-desktop-<uid>.
        std::string workDirectory;
        std::string xorgProgram = "Xorg";
        std::string xvfbProgram = "Xvfb";
        std::string windowManager = "openbox";  // empty: none
        // Beside the window manager, a light session a remote user can work in: wallpaper and a
        // panel that launches a terminal and a file manager.
        bool lightSession = false;
        // The user's own session (a shell command line such as "startxfce4"), in place of the
        // window manager and the light session.
        std::string sessionCommand;
        std::chrono::milliseconds startTimeout{10000};
        // A server of ours that dies is started again on the same display number (so DISPLAY
        // stays right for everyone), at most three times a minute.
        bool restartWhenDied = true;
        // Called on the watcher's thread when our X server died, before it is started again:
        // what ran on it (a session's displays and captures) is gone with it.
        std::function<void()> serverDied;
    };

    struct Running {
        std::string display;     // ":N"
        std::string xauthority;  // cookie file; empty for an existing display
        Server server = Server::existing;
    };

    using Report = std::function<void(const std::string&)>;

    HeadlessDesktop();
    explicit HeadlessDesktop(Options options, Report report = {});
    ~HeadlessDesktop();
    HeadlessDesktop(const HeadlessDesktop&) = delete;
    HeadlessDesktop& operator=(const HeadlessDesktop&) = delete;

    // $DISPLAY when it names a reachable X server; otherwise our own desktop. None (reported)
    // when nothing could start.
    std::optional<Running> startIfNeeded();
    // Starts our own desktop whatever $DISPLAY says.
    std::optional<Running> start();
    // Stops the window manager and the X server (promptly: a short grace, then SIGKILL) and
    // removes the cookie and configuration. The display number stays claimed until destruction.
    void stop();

    // Whether the X server we started still runs (false for an existing display or after stop).
    bool serverRunning();
    // Process id of the X server we started, while it runs.
    std::optional<pid_t> serverPid();
    // What start gave; the display stays the same across restarts.
    const std::optional<Running>& running() const { return running_; }

    // Sets DISPLAY and XAUTHORITY for this process and the programs it starts. Not thread safe:
    // call before other threads exist.
    static void exportEnvironment(const Running& running);
    // Whether an X client can connect; without a cookie the usual XAUTHORITY lookup applies.
    static bool reachable(const std::string& display, const XCookie* cookie = nullptr);

  private:
    bool prepareWorkDirectory();
    std::optional<Running> startServer(Server kind);
    std::optional<int> launch(Server kind, int number);
    void startWindowManager();
    std::string path(const std::string& name) const;
    void say(const std::string& text) const;
    bool waitForWindowManager();
    void watch();

    Options options_;
    Report report_;
    std::string directory_;
    // Held from start until we are destroyed, across restarts of the server; declared before
    // the children so that it is released after they are gone.
    DisplayClaim claim_;
    ChildProcess server_;
    ChildProcess windowManager_;
    DesktopSession session_;
    std::optional<Running> running_;
    XCookie cookie_{};

    // The watcher restarts a server that died; children and running_ are shared with it.
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread watcher_;
};

}  // namespace vl
