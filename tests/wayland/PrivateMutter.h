// tests/wayland: a private GNOME Wayland compositor for tests — its own session bus, PipeWire and
// WirePlumber, and `mutter --headless --wayland --no-x11`, all in a fresh runtime folder that
// nothing else uses, so tests can run side by side. Everything is stopped by process id.
#pragma once

#include "platform/desktop/ChildProcess.h"
#include "platform/desktop/SessionBus.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vl::testing {

class PrivateMutter {
  public:
    // GNOME Shell (Mutter's compositor with the shell on top) in place of bare Mutter, with one
    // extension of ours installed for the user, and the bus name that extension owns once it
    // runs. A disabled one is left for the test to turn on.
    struct Shell {
        std::string extensionFolder;
        std::string extensionUUID;
        std::string busName;
        bool enabled = true;
    };

    // Whether the programs are installed; tests skip with this text when they are not.
    static std::optional<std::string> missingProgram(bool shell = false);

    // Running with Mutter's ScreenCast and RemoteDesktop on the bus (and the shell extension's
    // name, with `shell`), or null (`error` says why).
    static std::unique_ptr<PrivateMutter> start(std::string* error,
                                                const std::optional<Shell>& shell = std::nullopt);
    ~PrivateMutter();

    const std::string& busAddress() const { return bus_->address(); }
    const std::string& runtimeDirectory() const { return runtime_; }
    const std::string& waylandDisplay() const { return wayland_; }
    // The environment a client of this desktop needs (runtime folder, bus, Wayland display).
    std::vector<std::string> clientEnvironment() const;
    // The compositor's log so far, for failure messages.
    std::string mutterLog() const;
    // Whether the compositor still runs.
    bool mutterRunning() { return mutter_.running(); }
    // For the share of the machine they take.
    pid_t mutterPid() const { return mutter_.pid(); }
    pid_t pipewirePid() const { return pipewire_.pid(); }
    // Stops the compositor, as when the desktop session ends.
    void stopMutter() { mutter_.stop(); }

  private:
    PrivateMutter() = default;
    std::string root_;
    std::string runtime_;
    std::string wayland_ = "wayland-vl";
    std::unique_ptr<SessionBus> bus_;
    ChildProcess pipewire_;
    ChildProcess wireplumber_;
    ChildProcess mutter_;
};

}  // namespace vl::testing
