#include "client/viewer/ServerProbe.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vl {

std::unique_ptr<ServerProbe> ServerProbe::open(const std::string& host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
        return nullptr;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const bool connected = fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) == 0;
    freeaddrinfo(found);
    if (!connected) {
        if (fd >= 0) close(fd);
        return nullptr;
    }
    return std::unique_ptr<ServerProbe>(new ServerProbe(fd));
}

ServerProbe::~ServerProbe() {
    if (fd_ >= 0) close(fd_);
}

bool ServerProbe::poll() {
    // The answer to the last probe, if one came back, is an error pending on the socket.
    bool refused = false;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == ECONNREFUSED)
        refused = true;
    std::uint8_t byte = 0;
    while (recv(fd_, &byte, 1, 0) >= 0) {
    }
    if (errno == ECONNREFUSED) refused = true;
    const std::uint8_t probe = 0;
    if (send(fd_, &probe, 1, 0) < 0 && errno == ECONNREFUSED) refused = true;
    refusals_ = refused ? refusals_ + 1 : 0;
    return refusals_ >= 2;
}

}  // namespace vl
