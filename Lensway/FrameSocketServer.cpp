#include "Lensway/FrameSocketServer.h"

#include "Lensway/LenswayContract.h"
#include "Lensway/LenswayWire.h"
#include "base/Log.h"
#include "platform/localsocket/LocalSocket.h"

#include <cerrno>
#include <map>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vl::lensway {

std::unique_ptr<FrameSocketServer> FrameSocketServer::start(const std::filesystem::path& path,
                                                            PropertyHandler handler,
                                                            std::string* error, ShownQuery shown) {
    const int fd = localsocket::listenAt(path, error);
    if (fd < 0) return nullptr;
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return std::unique_ptr<FrameSocketServer>(
        new FrameSocketServer(path, fd, wakeFd, std::move(handler), std::move(shown)));
}

FrameSocketServer::FrameSocketServer(std::filesystem::path path, int listenFd, int wakeFd,
                                     PropertyHandler handler, ShownQuery shown)
    : path_(std::move(path)),
      listenFd_(listenFd),
      wakeFd_(wakeFd),
      handler_(std::move(handler)),
      shown_(std::move(shown)),
      allowedUid_(::geteuid()) {
    thread_ = std::thread([this] { run(); });
}

FrameSocketServer::~FrameSocketServer() {
    stopping_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
    thread_.join();
    ::close(listenFd_);
    ::close(wakeFd_);
    ::unlink(path_.c_str());
}

void FrameSocketServer::run() {
    struct Client {
        MessageReader reader;
    };
    std::map<int, Client> clients;
    auto drop = [&](int fd) {
        ::close(fd);
        clients.erase(fd);
    };
    while (!stopping_) {
        std::vector<pollfd> fds = {{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
        for (const auto& [fd, client] : clients) fds.push_back({fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents & POLLIN) {
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                ucred peer{};
                socklen_t size = sizeof peer;
                if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
                    peer.uid != allowedUid_) {
                    ++refusedPeers_;
                    logMsg(
                        "🟨 lensway: refused a connection from uid " + std::to_string(peer.uid),
                        LogLevel::warning);
                    ::close(fd);
                } else {
                    clients[fd];
                }
            }
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const int fd = fds[i].fd;
            std::uint8_t chunk[65536];
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) {
                drop(fd);
                continue;
            }
            MessageReader& reader = clients[fd].reader;
            reader.append(ByteView(chunk, static_cast<std::size_t>(n)));
            bool keep = true;
            while (keep) {
                auto message = reader.next();
                if (!message) break;
                switch (message->kind) {
                    case MessageKind::deviceQuery: {
                        const bool ours = stringOf(message->payload) == deviceUID && shown_();
                        keep = localsocket::writeAll(
                            fd, encodeForDevice(MessageKind::deviceAnswer, ours ? deviceID : 0));
                        break;
                    }
                    case MessageKind::encodedFrame:
                        if (deviceOf(*message) == deviceID)
                            handler_(ByteView(message->payload).subspan(4));
                        break;
                    case MessageKind::clearFrame:
                        if (deviceOf(*message) == deviceID) handler_(std::nullopt);
                        break;
                    case MessageKind::deviceAnswer:
                        break;
                }
            }
            if (!keep || reader.poisoned()) {
                if (reader.poisoned())
                    logMsg("🟨 lensway: a client's messages are out of step; connection closed",
                           LogLevel::warning);
                drop(fd);
            }
        }
    }
    for (auto& [fd, client] : clients) ::close(fd);
}

}  // namespace vl::lensway
