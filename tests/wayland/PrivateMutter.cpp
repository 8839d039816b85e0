#include "tests/wayland/PrivateMutter.h"

#include "platform/mutter/DesktopBackendChoice.h"
#include "platform/mutter/SessionBusNames.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace vl::testing {

namespace {

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':'))
        if (::access((folder + "/" + program).c_str(), X_OK) == 0) return true;
    return false;
}

bool waitFor(const std::function<bool()>& ready, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return ready();
}

}  // namespace

std::optional<std::string> PrivateMutter::missingProgram() {
    for (const char* program : {"mutter", "pipewire", "wireplumber", "dbus-daemon"})
        if (!onPath(program)) return std::string(program) + " is not installed (scripts/setup)";
    return std::nullopt;
}

std::vector<std::string> PrivateMutter::clientEnvironment() const {
    std::vector<std::string> environment = {
        "XDG_RUNTIME_DIR=" + runtime_, "DBUS_SESSION_BUS_ADDRESS=" + bus_->address(),
        "WAYLAND_DISPLAY=" + wayland_, "LANG=C.UTF-8",
        "GSETTINGS_BACKEND=memory",    "HOME=" + root_,
    };
    if (const char* path = std::getenv("PATH")) environment.push_back(std::string("PATH=") + path);
    return environment;
}

std::string PrivateMutter::mutterLog() const {
    std::ifstream log(root_ + "/mutter.log");
    std::stringstream text;
    text << log.rdbuf();
    return text.str();
}

std::unique_ptr<PrivateMutter> PrivateMutter::start(std::string* error) {
    auto fail = [&](std::string why) {
        if (error) *error = std::move(why);
        return nullptr;
    };
    std::unique_ptr<PrivateMutter> desktop(new PrivateMutter);
    std::string pattern = (std::filesystem::temp_directory_path() / "vl-mutter.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return fail("mkdtemp failed");
    desktop->root_ = pattern;
    desktop->runtime_ = pattern + "/runtime";
    if (::mkdir(desktop->runtime_.c_str(), 0700) != 0)
        return fail("cannot make the runtime folder");
    desktop->bus_ = SessionBus::start({.directory = pattern});
    if (!desktop->bus_) return fail("no session bus");
    auto environment = desktop->clientEnvironment();
    auto spawn = [&](std::vector<std::string> arguments, const std::string& log) {
        return ChildProcess::start({.arguments = std::move(arguments),
                                    .environment = environment,
                                    .logFile = pattern + "/" + log});
    };
    auto pipewire = spawn({"pipewire"}, "pipewire.log");
    if (!pipewire) return fail("cannot start pipewire");
    desktop->pipewire_ = std::move(*pipewire);
    if (!waitFor([&] { return std::filesystem::exists(desktop->runtime_ + "/pipewire-0"); },
                 std::chrono::seconds(10)))
        return fail("pipewire made no socket");
    auto wireplumber = spawn({"wireplumber"}, "wireplumber.log");
    if (!wireplumber) return fail("cannot start wireplumber");
    desktop->wireplumber_ = std::move(*wireplumber);
    auto mutter = spawn(
        {"mutter", "--headless", "--wayland", "--no-x11", "--wayland-display=" + desktop->wayland_},
        "mutter.log");
    if (!mutter) return fail("cannot start mutter");
    desktop->mutter_ = std::move(*mutter);
    const bool ready = waitFor(
        [&] {
            auto names = sessionBusNames(desktop->bus_->address());
            return names && names->contains(mutterScreenCastName) &&
                   names->contains(mutterRemoteDesktopName);
        },
        std::chrono::seconds(20));
    if (!ready) return fail("mutter did not offer its remote desktop: " + desktop->mutterLog());
    return desktop;
}

PrivateMutter::~PrivateMutter() {
    mutter_.terminate();
    wireplumber_.terminate();
    mutter_.stop();
    wireplumber_.stop();
    pipewire_.stop();
    bus_.reset();
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
}

}  // namespace vl::testing
