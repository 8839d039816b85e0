#include "platform/network/ngtcp2/UdpSocket.h"

#include "platform/network/ngtcp2/Engine.h"

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace vl::quic {

namespace {

constexpr int socketBufferBytes = 4 * 1024 * 1024;
constexpr std::size_t maxReadsPerBurst = 64;

void throwSocketError(const char* what) {
    int err = errno;
    auto code =
        err == EADDRINUSE ? NetworkError::Code::addressInUse : NetworkError::Code::socketFailure;
    throw NetworkException(NetworkError{code, std::string(what) + ": " + std::strerror(err)});
}

void enlargeBuffer(int fd, int forced, int plain) {
    int size = socketBufferBytes;
    // The forced option ignores the system cap when the process may use it.
    if (setsockopt(fd, SOL_SOCKET, forced, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, plain, &size, sizeof size);
}

}  // namespace

std::string addressText(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

UdpSocket::UdpSocket(asio::io_context& context) : socket_(context) {
    asio::error_code ec;
    socket_.open(asio::ip::udp::v4(), ec);
    if (ec) {
        throw NetworkException(
            NetworkError{NetworkError::Code::socketFailure, "socket: " + ec.message()});
    }
    socket_.non_blocking(true, ec);
    int fd = socket_.native_handle();
    enlargeBuffer(fd, SO_RCVBUFFORCE, SO_RCVBUF);
    enlargeBuffer(fd, SO_SNDBUFFORCE, SO_SNDBUF);
    int on = 1;
    setsockopt(fd, IPPROTO_UDP, UDP_GRO, &on, sizeof on);
}

UdpSocket::~UdpSocket() {
    close();
}

void UdpSocket::bind(const sockaddr_in& local) {
    if (::bind(socket_.native_handle(), reinterpret_cast<const sockaddr*>(&local), sizeof local) !=
        0)
        throwSocketError("bind");
}

void UdpSocket::connect(const sockaddr_in& remote) {
    if (::connect(socket_.native_handle(), reinterpret_cast<const sockaddr*>(&remote),
                  sizeof remote) != 0)
        throwSocketError("connect");
    connected_ = true;
}

sockaddr_in UdpSocket::localAddress() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(const_cast<asio::ip::udp::socket&>(socket_).native_handle(),
                reinterpret_cast<sockaddr*>(&address), &length);
    return address;
}

void UdpSocket::startReading(DatagramHandler onDatagram, std::function<void()> onBatchEnd) {
    onDatagram_ = std::move(onDatagram);
    onBatchEnd_ = std::move(onBatchEnd);
    armRead();
}

void UdpSocket::armRead() {
    if (!socket_.is_open()) return;
    socket_.async_wait(asio::socket_base::wait_read,
                       [self = shared_from_this()](const asio::error_code& ec) {
                           if (ec || !self->socket_.is_open()) return;
                           self->readBurst();
                       });
}

void UdpSocket::readBurst() {
    auto& engine = Engine::shared();
    std::uint8_t* buffers = engine.receiveBuffer();
    constexpr std::size_t batch = Engine::receiveBatch;
    mmsghdr messages[batch];
    iovec vectors[batch];
    sockaddr_in sources[batch];
    alignas(cmsghdr) char controls[batch][CMSG_SPACE(sizeof(int))];
    // A handler may close the socket; keep it alive until the burst is over.
    auto self = shared_from_this();

    for (std::size_t round = 0; round < maxReadsPerBurst && socket_.is_open(); ++round) {
        for (std::size_t i = 0; i < batch; ++i) {
            vectors[i] = {buffers + i * Engine::receiveSlot, Engine::receiveSlot};
            messages[i] = {};
            messages[i].msg_hdr.msg_name = &sources[i];
            messages[i].msg_hdr.msg_namelen = sizeof sources[i];
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = controls[i];
            messages[i].msg_hdr.msg_controllen = sizeof controls[i];
        }
        int count = recvmmsg(socket_.native_handle(), messages, batch, MSG_DONTWAIT, nullptr);
        if (count <= 0) {
            // EAGAIN ends the burst; ECONNREFUSED (ICMP for a connected socket) and other
            // transient errors are left to the QUIC timers.
            break;
        }
        for (int i = 0; i < count && socket_.is_open(); ++i) {
            std::size_t length = messages[i].msg_len;
            std::size_t segment = length;
            for (cmsghdr* c = CMSG_FIRSTHDR(&messages[i].msg_hdr); c;
                 c = CMSG_NXTHDR(&messages[i].msg_hdr, c)) {
                if (c->cmsg_level == IPPROTO_UDP && c->cmsg_type == UDP_GRO) {
                    int size = 0;
                    std::memcpy(&size, CMSG_DATA(c), sizeof size);
                    if (size > 0) segment = static_cast<std::size_t>(size);
                }
            }
            const std::uint8_t* data = buffers + i * Engine::receiveSlot;
            for (std::size_t offset = 0; offset < length && socket_.is_open(); offset += segment) {
                onDatagram_(data + offset, std::min(segment, length - offset), sources[i]);
            }
        }
        if (static_cast<std::size_t>(count) < batch) break;
    }
    if (onBatchEnd_ && socket_.is_open()) onBatchEnd_();
    armRead();
}

UdpSocket::SendResult UdpSocket::sendOne(const sockaddr_in& to, const std::uint8_t* data,
                                         std::size_t size) {
    ssize_t rc;
    do {
        rc = connected_ ? ::send(socket_.native_handle(), data, size, 0)
                        : ::sendto(socket_.native_handle(), data, size, 0,
                                   reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (rc < 0 && errno == EINTR);
    if (rc >= 0) return SendResult::sent;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return SendResult::wouldBlock;
    return SendResult::failed;
}

UdpSocket::SendResult UdpSocket::send(const sockaddr_in& to, const std::uint8_t* data,
                                      std::size_t total, std::size_t segmentSize) {
    if (!socket_.is_open()) return SendResult::failed;
    if (total <= segmentSize) return sendOne(to, data, total);

    std::size_t count = (total + segmentSize - 1) / segmentSize;
    if (gsoWorks_ && count <= maxBatchSegments && total <= maxBatchBytes) {
        iovec vector{const_cast<std::uint8_t*>(data), total};
        msghdr message{};
        if (!connected_) {
            message.msg_name = const_cast<sockaddr_in*>(&to);
            message.msg_namelen = sizeof to;
        }
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = IPPROTO_UDP;
        c->cmsg_type = UDP_SEGMENT;
        c->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
        auto size = static_cast<std::uint16_t>(segmentSize);
        std::memcpy(CMSG_DATA(c), &size, sizeof size);
        ssize_t rc;
        do {
            rc = ::sendmsg(socket_.native_handle(), &message, 0);
        } while (rc < 0 && errno == EINTR);
        if (rc >= 0) return SendResult::sent;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)
            return SendResult::wouldBlock;
        if (errno != EIO && errno != EINVAL && errno != EOPNOTSUPP) return SendResult::failed;
        gsoWorks_ = false;  // the route does not segment: fall back to one call per datagram
    }

    // Without GSO: sendmmsg of the datagrams. A partial send reports wouldBlock only when
    // nothing went out; the rest is dropped as loss, which QUIC recovers.
    std::vector<mmsghdr> messages(count);
    std::vector<iovec> vectors(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t offset = i * segmentSize;
        vectors[i] = {const_cast<std::uint8_t*>(data) + offset,
                      std::min(segmentSize, total - offset)};
        messages[i] = {};
        if (!connected_) {
            messages[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&to);
            messages[i].msg_hdr.msg_namelen = sizeof to;
        }
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    int rc = sendmmsg(socket_.native_handle(), messages.data(), count, 0);
    if (rc > 0) return SendResult::sent;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return SendResult::wouldBlock;
    return SendResult::failed;
}

void UdpSocket::waitWritable(std::function<void()> handler) {
    writableHandlers_.push_back(std::move(handler));
    if (writeWaitArmed_ || !socket_.is_open()) return;
    writeWaitArmed_ = true;
    socket_.async_wait(asio::socket_base::wait_write,
                       [self = shared_from_this()](const asio::error_code& ec) {
                           self->writeWaitArmed_ = false;
                           auto handlers = std::move(self->writableHandlers_);
                           self->writableHandlers_.clear();
                           if (ec) return;
                           for (auto& h : handlers) h();
                       });
}

void UdpSocket::close() {
    asio::error_code ec;
    if (socket_.is_open()) socket_.close(ec);
    writableHandlers_.clear();
}

}  // namespace vl::quic
