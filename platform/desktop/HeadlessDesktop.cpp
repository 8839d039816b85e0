#include "platform/desktop/HeadlessDesktop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

extern char** environ;

namespace vl {

namespace {

using namespace std::chrono_literals;

// How long a child gets between SIGTERM and SIGKILL when we stop it.
constexpr auto stopGrace = 300ms;

const char* describe(HeadlessDesktop::Server kind) {
    switch (kind) {
        case HeadlessDesktop::Server::existing:
            return "the existing X server";
        case HeadlessDesktop::Server::xorgDummy:
            return "Xorg with the dummy driver";
        case HeadlessDesktop::Server::xvfb:
            return "Xvfb";
    }
    return "?";
}

std::vector<std::string> environmentFor(const std::string& display, const std::string& xauthority) {
    std::vector<std::string> result;
    for (char** e = environ; e && *e; ++e) {
        std::string entry = *e;
        if (entry.rfind("DISPLAY=", 0) == 0 || entry.rfind("XAUTHORITY=", 0) == 0) continue;
        result.push_back(std::move(entry));
    }
    result.push_back("DISPLAY=" + display);
    result.push_back("XAUTHORITY=" + xauthority);
    return result;
}

struct ConnectionCloser {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionCloser>;

Connection connect(const std::string& display, const XCookie* cookie) {
    xcb_connection_t* c;
    if (cookie) {
        static char name[] = "MIT-MAGIC-COOKIE-1";
        XCookie data = *cookie;
        xcb_auth_info_t auth{int(std::strlen(name)), name, int(data.size()),
                             reinterpret_cast<char*>(data.data())};
        c = xcb_connect_to_display_with_auth_info(display.c_str(), &auth, nullptr);
    } else {
        c = xcb_connect(display.empty() ? nullptr : display.c_str(), nullptr);
    }
    Connection connection(c);
    if (xcb_connection_has_error(c)) return nullptr;
    return connection;
}

}  // namespace

HeadlessDesktop::HeadlessDesktop() : HeadlessDesktop(Options{}) {}

HeadlessDesktop::HeadlessDesktop(Options options, Report report)
    : options_(std::move(options)), report_(std::move(report)) {}

HeadlessDesktop::~HeadlessDesktop() {
    stop();
}

void HeadlessDesktop::say(const std::string& text) const {
    if (report_) report_("headless desktop: " + text);
}

std::string HeadlessDesktop::path(const std::string& name) const {
    return directory_ + "/" + name;
}

bool HeadlessDesktop::reachable(const std::string& display, const XCookie* cookie) {
    return connect(display, cookie) != nullptr;
}

std::optional<HeadlessDesktop::Running> HeadlessDesktop::startIfNeeded() {
    if (running_) return running_;
    const char* display = std::getenv("DISPLAY");
    if (display && *display) {
        if (reachable(display)) {
            const char* xauthority = std::getenv("XAUTHORITY");
            return Running{display, xauthority ? xauthority : "", Server::existing};
        }
        say(std::string("DISPLAY ") + display + " is not reachable; starting our own");
    }
    return start();
}

std::optional<HeadlessDesktop::Running> HeadlessDesktop::start() {
    if (running_ && running_->server != Server::existing) return running_;
    if (!prepareWorkDirectory()) return std::nullopt;
    auto cookie = randomCookie();
    if (!cookie) {
        say("no random source for the access cookie");
        return std::nullopt;
    }
    cookie_ = *cookie;
    if (!claim_.held()) {
        auto claim = DisplayClaim::claim(options_.firstDisplay, options_.lastDisplay);
        if (!claim) {
            say("no free display number between :" + std::to_string(options_.firstDisplay) +
                " and :" + std::to_string(options_.lastDisplay));
            return std::nullopt;
        }
        claim_ = std::move(*claim);
    }
    auto started = startServer(Server::xorgDummy);
    if (!started) {
        started = startServer(Server::xvfb);
        if (started)
            say("Xorg with the dummy driver could not start (its log is in " + directory_ +
                "); running Xvfb on " + started->display +
                " instead: virtual displays cannot be added on it");
    }
    if (!started) {
        say("neither Xorg nor Xvfb could start; see the logs in " + directory_);
        claim_.release();
        return std::nullopt;
    }
    running_ = started;
    say("started " + std::string(describe(started->server)) + " on " + started->display);
    startWindowManager();
    if (options_.restartWhenDied) {
        stopping_ = false;
        watcher_ = std::thread([this] { watch(); });
    }
    return running_;
}

bool HeadlessDesktop::prepareWorkDirectory() {
    directory_ = options_.workDirectory;
    if (directory_.empty()) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        directory_ = runtime && *runtime ? std::string(runtime) + "/vantrel-link-desktop"
                                         : "/tmp/vantrel-link-desktop-" + std::to_string(getuid());
    }
    if (mkdir(directory_.c_str(), 0700) != 0 && errno != EEXIST) {
        say("cannot create " + directory_ + ": " + std::strerror(errno));
        return false;
    }
    // The cookie lives here: the folder must be ours and private, not someone's link.
    struct stat info;
    if (lstat(directory_.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != getuid() || (info.st_mode & 077) != 0) {
        say(directory_ + " is not a private folder of this user; refusing to use it");
        return false;
    }
    return true;
}

std::optional<HeadlessDesktop::Running> HeadlessDesktop::startServer(Server kind) {
    int number = claim_.number();
    if (!launch(kind, number)) return std::nullopt;
    return Running{claim_.display(), path("xauthority-" + std::to_string(number)), kind};
}

std::optional<int> HeadlessDesktop::launch(Server kind, int number) {
    auto n = std::to_string(number);
    auto xauthority = path("xauthority-" + n);
    if (!writeXAuthority(xauthority, number, cookie_)) {
        say("cannot write " + xauthority);
        return std::nullopt;
    }
    std::vector<std::string> arguments;
    if (kind == Server::xorgDummy) {
        auto configuration = path("xorg-" + n + ".conf");
        std::ofstream(configuration) << xorgConfiguration(options_.geometry);
        // Run as root, Xorg would take a virtual terminal and switch the console to it; sharing
        // the current one leaves the console alone (the dummy driver shows nothing on it).
        arguments = {options_.xorgProgram, ":" + n,      "-config",
                     configuration,        "-logfile",   path("xorg-" + n + ".log"),
                     "-sharevts",          "-novtswitch"};
    } else {
        auto size = std::to_string(options_.geometry.mainWidth) + "x" +
                    std::to_string(options_.geometry.mainHeight) + "x24";
        arguments = {options_.xvfbProgram, ":" + n, "-screen", "0", size};
    }
    for (const char* a :
         {"-auth", xauthority.c_str(), "-nolisten", "tcp", "-noreset", "-displayfd", "3"})
        arguments.push_back(a);

    // The server writes its display number to the pipe once it accepts clients.
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return std::nullopt;
    claim_.handOver();
    ChildProcess::Spawn spawn;
    spawn.arguments = arguments;
    spawn.environment = environmentFor(":" + n, xauthority);
    spawn.logFile = path((kind == Server::xorgDummy ? "xorg-" : "xvfb-") + n + ".out");
    spawn.passFd = ready[1];
    auto child = ChildProcess::start(spawn);
    close(ready[1]);
    if (!child) {
        close(ready[0]);
        claim_.takeBack();
        return std::nullopt;
    }

    std::string written;
    auto deadline = std::chrono::steady_clock::now() + options_.startTimeout;
    while (written.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= 0ms) break;
        pollfd p{ready[0], POLLIN, 0};
        if (poll(&p, 1, int(left.count())) <= 0) break;
        char buffer[32];
        auto got = read(ready[0], buffer, sizeof buffer);
        if (got <= 0) break;  // the server exited before it was ready
        written.append(buffer, std::size_t(got));
    }
    close(ready[0]);
    if (written.find('\n') == std::string::npos || !child->running() ||
        !reachable(":" + n, &cookie_)) {
        child->stop(stopGrace);
        claim_.takeBack();
        unlink(xauthority.c_str());
        return std::nullopt;
    }
    server_ = std::move(*child);
    return number;
}

void HeadlessDesktop::startWindowManager() {
    const bool userSession = !options_.sessionCommand.empty();
    if (options_.windowManager.empty() && !userSession) return;
    ChildProcess::Spawn spawn;
    if (userSession) {
        spawn.arguments = {"/bin/sh", "-c", options_.sessionCommand};
    } else {
        spawn.arguments = {options_.windowManager};
        if (options_.windowManager == "openbox") spawn.arguments.push_back("--sm-disable");
    }
    spawn.environment = environmentFor(running_->display, running_->xauthority);
    spawn.logFile = path("windowmanager-" + running_->display.substr(1) + ".log");
    auto child = ChildProcess::start(spawn);
    if (!child) {
        say("cannot start the window manager " + options_.windowManager);
        return;
    }
    windowManager_ = std::move(*child);
    if (!waitForWindowManager())
        say("the window manager " +
            (userSession ? options_.sessionCommand : options_.windowManager) +
            " did not announce itself; windows will not be managed");
    if (options_.lightSession && !userSession) {
        auto connection = connect(running_->display, &cookie_);
        session_.start(connection.get(), spawn.environment, directory_,
                       [this](const std::string& text) { say(text); });
    }
}

bool HeadlessDesktop::waitForWindowManager() {
    auto connection = connect(running_->display, &cookie_);
    if (!connection) return false;
    auto* c = connection.get();
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const char name[] = "_NET_SUPPORTING_WM_CHECK";
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof name - 1, name), nullptr),
        &std::free);
    if (!atom) return false;
    auto deadline = std::chrono::steady_clock::now() + options_.startTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
            xcb_get_property_reply(
                c, xcb_get_property(c, 0, root, atom->atom, XCB_ATOM_WINDOW, 0, 1), nullptr),
            &std::free);
        if (reply && xcb_get_property_value_length(reply.get()) == 4) return true;
        if (!windowManager_.running()) return false;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

void HeadlessDesktop::watch() {
    std::unique_lock lock(mutex_);
    std::vector<std::chrono::steady_clock::time_point> restarts, windowManagerRestarts;
    const bool wantsWindowManager =
        !options_.windowManager.empty() || !options_.sessionCommand.empty();
    while (!stopping_) {
        wake_.wait_for(lock, 500ms);
        if (stopping_ || !running_) continue;
        auto now = std::chrono::steady_clock::now();
        if (server_.running()) {
            // A window manager that dies leaves windows unmanaged for the rest of the session;
            // the panel goes with it so that the session starts whole again.
            if (!wantsWindowManager || windowManager_.running()) continue;
            std::erase_if(windowManagerRestarts,
                          [&](auto at) { return now - at > std::chrono::minutes(1); });
            if (windowManagerRestarts.size() >= 3) continue;
            say("the window manager died; starting it again");
            session_.stop();
            windowManagerRestarts.push_back(now);
            startWindowManager();
            continue;
        }
        std::erase_if(restarts, [&](auto at) { return now - at > std::chrono::minutes(1); });
        int number = std::stoi(running_->display.substr(1));
        std::string what = describe(running_->server) + std::string(" on ") + running_->display;
        if (options_.serverDied) options_.serverDied();
        if (restarts.size() >= 3) {
            say(what + " keeps dying; not starting it again");
            return;
        }
        say(what + " died; starting it again");
        session_.stop();
        windowManager_.stop(stopGrace);
        // The number stays ours meanwhile (the claim), but the dead server's listening sockets
        // can outlive it for a moment (a child it spawned may still hold them): try a few times.
        claim_.takeBack();
        bool launched = false;
        for (int attempt = 0; attempt < 5 && !launched && !stopping_; ++attempt) {
            if (attempt > 0) wake_.wait_for(lock, 300ms);
            launched = launch(running_->server, number).has_value();
        }
        if (!launched) {
            say("could not start " + what + " again; see the logs in " + directory_);
            return;
        }
        restarts.push_back(now);
        startWindowManager();
    }
}

void HeadlessDesktop::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (watcher_.joinable()) watcher_.join();
    // Both told at once and given little time: nothing they hold needs a slow goodbye, and the
    // user waits on this after Ctrl-C.
    session_.stop();
    windowManager_.terminate();
    server_.terminate();
    windowManager_.stop(stopGrace);
    server_.stop(stopGrace);
    bool ours = running_ && running_->server != Server::existing;
    if (ours) {
        // Removes what a killed server left behind; the number stays claimed until we go.
        claim_.takeBack();
        auto n = running_->display.substr(1);
        unlink(running_->xauthority.c_str());
        unlink(path("xorg-" + n + ".conf").c_str());
        say("stopped " + std::string(describe(running_->server)) + " on " + running_->display);
    }
    running_.reset();
}

bool HeadlessDesktop::serverRunning() {
    std::lock_guard lock(mutex_);
    return running_ && running_->server != Server::existing && server_.running();
}

std::optional<pid_t> HeadlessDesktop::serverPid() {
    std::lock_guard lock(mutex_);
    if (!running_ || running_->server == Server::existing || !server_.running())
        return std::nullopt;
    return server_.pid();
}

void HeadlessDesktop::exportEnvironment(const Running& running) {
    setenv("DISPLAY", running.display.c_str(), 1);
    if (!running.xauthority.empty()) setenv("XAUTHORITY", running.xauthority.c_str(), 1);
}

}  // namespace vl
