// platform/notify/testing: a session bus of the test's own — a dbus-daemon started for it and
// stopped by its process id — so that signals never reach the desktop's bus.
#pragma once

#include "platform/desktop/ChildProcess.h"

#include <optional>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace vl::testing {

class PrivateSessionBus {
  public:
    // None when dbus-daemon cannot be started or does not print its address in time.
    static std::optional<PrivateSessionBus> start() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
        ChildProcess::Spawn spawn;
        spawn.arguments = {"dbus-daemon", "--session", "--nofork", "--nopidfile",
                           "--print-address=3"};
        spawn.passFd = fds[1];
        auto process = ChildProcess::start(spawn);
        ::close(fds[1]);
        std::string address;
        pollfd readable{fds[0], POLLIN, 0};
        while (process && address.find('\n') == std::string::npos &&
               ::poll(&readable, 1, 10000) > 0) {
            char chunk[256];
            const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
            if (n <= 0) break;
            address.append(chunk, static_cast<std::size_t>(n));
        }
        ::close(fds[0]);
        if (!process || address.find('\n') == std::string::npos) return std::nullopt;
        address.resize(address.find('\n'));
        return PrivateSessionBus(std::move(*process), std::move(address));
    }

    const std::string& address() const { return address_; }

  private:
    PrivateSessionBus(ChildProcess process, std::string address)
        : process_(std::move(process)), address_(std::move(address)) {}
    ChildProcess process_;
    std::string address_;
};

}  // namespace vl::testing
