#include "PropertyServer.h"

#include "platform/audio/Interface.h"
#include "platform/localsocket/LocalSocket.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace vl::michost {

namespace {

constexpr std::uint32_t kShowAudio = fourCC("shau");
constexpr std::uint32_t kMicPCM = fourCC("mpcm");

}  // namespace

ChangeQueue::ChangeQueue() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ChangeQueue::~ChangeQueue() {
    if (fd_ >= 0) close(fd_);
}

void ChangeQueue::push(std::uint32_t selector) {
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(selector);
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = write(fd_, &one, sizeof(one));
}

std::vector<std::uint32_t> ChangeQueue::take() {
    std::uint64_t count;
    [[maybe_unused]] auto n = read(fd_, &count, sizeof(count));
    std::lock_guard lock(mutex_);
    return std::exchange(pending_, {});
}

PropertyServer::PropertyServer(DriverHost& driver, PulsePublisher& publisher, ChangeQueue& changes,
                               Report report)
    : driver_(driver), publisher_(publisher), changes_(changes), report_(std::move(report)) {}

PropertyServer::~PropertyServer() {
    for (const auto& [fd, client] : clients_) close(fd);
    if (listener_ >= 0) {
        close(listener_);
        unlink(socketPath_.c_str());
    }
    publisher_.setShown(false);
}

bool PropertyServer::listen(const std::filesystem::path& socketPath) {
    std::string error;
    listener_ = localsocket::listenAt(socketPath, &error);
    if (listener_ < 0) {
        report_(error);
        return false;
    }
    socketPath_ = socketPath;
    return true;
}

PropertyServer::Ending PropertyServer::serve(int signalFd) {
    for (;;) {
        std::vector<pollfd> entries{
            {signalFd, POLLIN, 0}, {changes_.fd(), POLLIN, 0}, {listener_, POLLIN, 0}};
        for (const auto& [fd, client] : clients_) entries.push_back({fd, POLLIN, 0});
        // Woken at least twice a second to notice a sound server that went away.
        if (poll(entries.data(), entries.size(), 500) < 0 && errno != EINTR)
            return Ending::pollFailed;
        if (!publisher_.alive()) return Ending::soundServerGone;
        if (entries[0].revents) return Ending::signalled;
        if (entries[1].revents) announceChanges();
        if (entries[2].revents) acceptClients();
        for (std::size_t i = 3; i < entries.size(); ++i) {
            if (!entries[i].revents) continue;
            const int fd = entries[i].fd;
            if (!serveClient(fd, clients_[fd])) {
                close(fd);
                clients_.erase(fd);
            }
        }
    }
}

void PropertyServer::announceChanges() {
    for (std::uint32_t selector : changes_.take()) {
        if (selector == kShowAudio) {
            auto [status, value] = driver_.get(kShowAudio);
            const auto* shown = std::get_if<std::uint32_t>(&value);
            publisher_.setShown(status == 0 && shown && *shown != 0);
        }
        micchannel::Message changed;
        changed.kind = micchannel::Kind::changed;
        changed.selector = selector;
        for (const auto& [fd, client] : clients_)
            if (client.listening.count(selector)) send(fd, changed);
    }
}

void PropertyServer::acceptClients() {
    for (;;) {
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        if (!localsocket::peerIsSameUser(fd)) {
            report_("refused a connection from another user");
            close(fd);
            continue;
        }
        clients_[fd];
    }
}

bool PropertyServer::serveClient(int fd, Client& client) {
    std::uint8_t buffer[65536];
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) return false;
    client.reader.append(ByteView(buffer, static_cast<std::size_t>(n)));
    while (auto message = client.reader.next()) {
        if (message->kind == micchannel::Kind::listen)
            client.listening.insert(message->selector);
        else
            send(fd, answer(*message));
        if (message->kind == micchannel::Kind::set && message->selector == kMicPCM)
            if (const auto* pcm = std::get_if<Bytes>(&message->value))
                publisher_.notePushed(pcm->size() / 8);
    }
    return !client.reader.broken();
}

micchannel::Message PropertyServer::answer(const micchannel::Message& request) {
    micchannel::Message reply;
    reply.kind = micchannel::Kind::reply;
    reply.request = request.request;
    reply.selector = request.selector;
    switch (request.kind) {
        case micchannel::Kind::translateUID: {
            const auto* uid = std::get_if<Bytes>(&request.value);
            reply.value = driver_.translate(uid ? std::string(uid->begin(), uid->end()) : "");
            break;
        }
        case micchannel::Kind::get: {
            auto [status, value] = driver_.get(request.selector);
            reply.status = status;
            reply.value = std::move(value);
            break;
        }
        case micchannel::Kind::set:
            reply.status = driver_.set(request.selector, request.value);
            break;
        default:
            reply.status = static_cast<std::int32_t>(fourCC("unop"));
    }
    return reply;
}

void PropertyServer::send(int fd, const micchannel::Message& message) {
    if (!localsocket::writeAll(fd, micchannel::encode(message))) shutdown(fd, SHUT_RDWR);
}

}  // namespace vl::michost
