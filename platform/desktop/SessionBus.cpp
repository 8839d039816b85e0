#include "platform/desktop/SessionBus.h"

#include "platform/localsocket/LocalSocket.h"

#include <cstdlib>
#include <filesystem>
#include <thread>

#include <unistd.h>

namespace vl {

namespace {

bool accepts(const std::string& socket) {
    const int fd = localsocket::connectTo(socket, false);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
}

}  // namespace

bool SessionBus::configured() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address)
        return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime && *runtime && accepts(std::string(runtime) + "/bus");
}

std::unique_ptr<SessionBus> SessionBus::start(const Options& options, Report report) {
    auto say = [&](const std::string& text) {
        if (report) report(text);
    };
    std::unique_ptr<SessionBus> bus(new SessionBus);
    bus->socket_ = options.directory + "/bus";
    bus->address_ = "unix:path=" + bus->socket_;
    std::error_code ignored;
    std::filesystem::remove(bus->socket_, ignored);
    auto daemon = ChildProcess::start(
        {{options.program, "--session", "--nofork", "--nopidfile", "--address=" + bus->address_},
         {},
         options.directory + "/dbus-daemon.log"});
    if (!daemon) {
        say("Session bus: cannot start " + options.program);
        return nullptr;
    }
    bus->daemon_ = std::move(*daemon);
    const auto deadline = std::chrono::steady_clock::now() + options.startTimeout;
    while (!accepts(bus->socket_)) {
        if (!bus->daemon_.running() || std::chrono::steady_clock::now() > deadline) {
            say("Session bus: " + options.program + " did not start (see " + options.directory +
                "/dbus-daemon.log)");
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return bus;
}

SessionBus::~SessionBus() {
    daemon_.stop();
    std::error_code ignored;
    std::filesystem::remove(socket_, ignored);
}

}  // namespace vl
