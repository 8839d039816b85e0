// platform/network/ngtcp2: what a QUIC session needs from the socket side that carries it.
#pragma once

#include "platform/network/ngtcp2/UdpSocket.h"

#include <ngtcp2/ngtcp2.h>

#include <memory>

namespace vl::quic {

class QuicSession;
class StreamConnection;

class Endpoint : public std::enable_shared_from_this<Endpoint> {
  public:
    explicit Endpoint(std::shared_ptr<UdpSocket> socket) : socket_(std::move(socket)) {}
    virtual ~Endpoint() { socket_->close(); }

    UdpSocket& socket() { return *socket_; }

    // Connection ids that route datagrams to a session (server side only).
    virtual void associate(const ngtcp2_cid&, QuicSession*) {}
    virtual void dissociate(const ngtcp2_cid&) {}
    // The session is over; the endpoint drops it.
    virtual void sessionEnded(QuicSession* session) = 0;
    // A stream the client opened; false when nobody accepts connections any more.
    virtual bool deliverNewStream(const std::shared_ptr<StreamConnection>&) { return false; }

  protected:
    std::shared_ptr<UdpSocket> socket_;
};

}  // namespace vl::quic
