// client/viewer: notices a server that stopped without a word. The server closes nothing when it
// exits and its keepalive comes every 30 s, so the viewer sends a one-byte datagram to the control
// port now and then, from a socket of its own: too short to be a QUIC packet, a live listener drops
// it unseen, while a port nobody holds any more draws an ICMP "port unreachable", which the kernel
// reports on the connected socket. Where ICMP is filtered it never fires; the silence limit
// remains.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vl {

class ServerProbe {
  public:
    // Nothing when the host does not resolve to an IPv4 address.
    static std::unique_ptr<ServerProbe> open(const std::string& host, std::uint16_t port);
    ~ServerProbe();
    ServerProbe(const ServerProbe&) = delete;
    ServerProbe& operator=(const ServerProbe&) = delete;

    // Reads what the last probe drew, then sends the next one. True once two probes in a row were
    // refused.
    bool poll();

  private:
    explicit ServerProbe(int fd) : fd_(fd) {}
    int fd_ = -1;
    int refusals_ = 0;
};

}  // namespace vl
