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

// The shell's own folders under `root`, with the extension in place and enabled in a settings
// file of its own (the memory backend cannot be given settings before the shell starts).
std::optional<std::string> prepareShell(const std::string& root, const PrivateMutter::Shell& shell,
                                        std::vector<std::string>& environment) {
    namespace fs = std::filesystem;
    std::error_code failed;
    const fs::path extensions = fs::path(root) / "data/gnome-shell/extensions";
    fs::create_directories(extensions, failed);
    if (!failed)
        fs::copy(shell.extensionFolder, extensions / shell.extensionUUID,
                 fs::copy_options::recursive, failed);
    const fs::path settings = fs::path(root) / "config/glib-2.0/settings";
    if (!failed) fs::create_directories(settings, failed);
    if (failed) return "cannot lay out the shell's folders: " + failed.message();
    std::ofstream keyfile(settings / "keyfile");
    if (shell.enabled)
        keyfile << "[org/gnome/shell]\nenabled-extensions=['" << shell.extensionUUID << "']\n";
    std::erase(environment, std::string("GSETTINGS_BACKEND=memory"));
    std::string bus;
    for (const auto& entry : environment)
        if (entry.starts_with("DBUS_SESSION_BUS_ADDRESS=")) bus = entry.substr(entry.find('=') + 1);
    environment.insert(environment.end(),
                       {"GSETTINGS_BACKEND=keyfile", "XDG_DATA_HOME=" + root + "/data",
                        "XDG_CONFIG_HOME=" + root + "/config", "XDG_SESSION_TYPE=wayland",
                        // The shell asks logind on the system bus; our own bus stands in, where
                        // nothing answers, so it never reaches the machine's.
                        "DBUS_SYSTEM_BUS_ADDRESS=" + bus});
    return std::nullopt;
}

}  // namespace

std::optional<std::string> PrivateMutter::missingProgram(bool shell) {
    for (const char* program : {"mutter", "pipewire", "wireplumber", "dbus-daemon"})
        if (!onPath(program)) return std::string(program) + " is not installed (scripts/setup)";
    if (shell && !onPath("gnome-shell")) return "gnome-shell is not installed (scripts/setup)";
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

std::unique_ptr<PrivateMutter> PrivateMutter::start(std::string* error,
                                                    const std::optional<Shell>& shell) {
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
    std::vector<std::string> compositor = {"mutter", "--headless", "--wayland", "--no-x11",
                                           "--wayland-display=" + desktop->wayland_};
    if (shell) {
        compositor.front() = "gnome-shell";
        if (auto why = prepareShell(pattern, *shell, environment)) return fail(*why);
    }
    auto mutter = spawn(std::move(compositor), "mutter.log");
    if (!mutter) return fail("cannot start the compositor");
    desktop->mutter_ = std::move(*mutter);
    const bool ready = waitFor(
        [&] {
            auto names = sessionBusNames(desktop->bus_->address());
            return names && names->contains(mutterScreenCastName) &&
                   names->contains(mutterRemoteDesktopName) &&
                   (!shell || names->contains(shell->enabled ? shell->busName
                                                             : std::string("org.gnome.Shell")));
        },
        std::chrono::seconds(shell ? 40 : 20));
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
