// platform/desktop: a D-Bus session bus for a desktop that has none. The desktop's applications
// publish their accessibility through it, the input method is asked there, and the camera daemon
// and the server meet on it; without one, all three are silently off.
#pragma once

#include "platform/desktop/ChildProcess.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace vl {

class SessionBus {
  public:
    struct Options {
        std::string program = "dbus-daemon";
        // Holds the bus socket and the daemon's log; must exist and be private to the user.
        std::string directory;
        std::chrono::milliseconds startTimeout{5000};
    };
    using Report = std::function<void(const std::string&)>;

    // Started and accepting connections, or nothing (reported).
    static std::unique_ptr<SessionBus> start(const Options& options, Report report = {});
    // Whether this process already has a session bus: DBUS_SESSION_BUS_ADDRESS, or the user
    // manager's $XDG_RUNTIME_DIR/bus.
    static bool configured();

    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    // "unix:path=…": what DBUS_SESSION_BUS_ADDRESS must say.
    const std::string& address() const { return address_; }
    pid_t pid() const { return daemon_.pid(); }

  private:
    SessionBus() = default;
    ChildProcess daemon_;
    std::string socket_;
    std::string address_;
};

}  // namespace vl
