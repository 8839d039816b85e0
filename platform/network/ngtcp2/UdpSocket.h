// platform/network/ngtcp2: a non-blocking UDP/IPv4 socket that reads and writes in batches
// (recvmmsg with GRO, sendmsg with GSO) so bulk transfers cost few system calls.
#pragma once

#include "platform/network/Interface.h"

#include <netinet/in.h>

#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vl::quic {

std::string addressText(const sockaddr_in& address);

class UdpSocket : public std::enable_shared_from_this<UdpSocket> {
  public:
    using DatagramHandler =
        std::function<void(const std::uint8_t* data, std::size_t size, const sockaddr_in& from)>;

    explicit UdpSocket(asio::io_context& context);
    ~UdpSocket();

    // Both throw NetworkException.
    void bind(const sockaddr_in& local);
    void connect(const sockaddr_in& remote);

    sockaddr_in localAddress() const;

    // Hands every datagram to onDatagram, then calls onBatchEnd once per burst of reads.
    void startReading(DatagramHandler onDatagram, std::function<void()> onBatchEnd);

    // What one segmented send may carry: the kernel takes at most 64 segments, and the whole
    // must fit one IPv4 datagram (65535 bytes less the IP and UDP headers).
    static constexpr std::size_t maxBatchSegments = 64;
    static constexpr std::size_t maxBatchBytes = 65535 - 20 - 8;

    enum class SendResult { sent, wouldBlock, failed };
    // Sends total bytes cut into datagrams of segmentSize (the last may be shorter).
    SendResult send(const sockaddr_in& to, const std::uint8_t* data, std::size_t total,
                    std::size_t segmentSize);
    // Calls the handler once the socket can take more datagrams.
    void waitWritable(std::function<void()> handler);

    void close();

  private:
    void armRead();
    void readBurst();
    SendResult sendOne(const sockaddr_in& to, const std::uint8_t* data, std::size_t size);

    asio::ip::udp::socket socket_;
    DatagramHandler onDatagram_;
    std::function<void()> onBatchEnd_;
    bool connected_ = false;
    bool gsoWorks_ = true;
    bool writeWaitArmed_ = false;
    std::vector<std::function<void()>> writableHandlers_;
};

}  // namespace vl::quic
