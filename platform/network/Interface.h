// platform/network: QUIC listeners and stream connections. A "connection" is one bidirectional
// QUIC stream opened by the client; every handler and completion of a connection runs on the queue
// it was started on.
#pragma once

#include "base/Bytes.h"
#include "base/DispatchQueue.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vl {

struct NetworkError {
    enum class Code {
        addressInUse,     // the port is taken
        socketFailure,    // the operating system refused a socket call
        noIdentity,       // a listener without a TLS identity cannot complete a handshake
        handshakeFailed,  // TLS or QUIC handshake refused (ALPN mismatch among others)
        timedOut,         // idle timeout
        closedByPeer,     // the peer closed the QUIC connection
        streamReset,      // the peer reset the stream
        transportError,   // QUIC protocol violation or internal transport failure
        cancelled,        // the connection was cancelled locally
        hostUnresolved,   // connectQuic could not resolve the host
    };

    Code code;
    std::string detail;  // transport or TLS detail, may be empty

    std::string description() const;
    friend bool operator==(const NetworkError& a, const NetworkError& b) {
        return a.code == b.code;
    }
};

// Thrown by Listener::make only: creating the listener failed.
class NetworkException : public std::runtime_error {
  public:
    explicit NetworkException(NetworkError error)
        : std::runtime_error(error.description()), error_(std::move(error)) {}
    const NetworkError& error() const { return error_; }

  private:
    NetworkError error_;
};

enum class ConnectionState { setup, preparing, ready, waiting, failed, cancelled };
enum class ListenerState { setup, ready, failed, cancelled };
std::string description(ConnectionState state);
std::string description(ListenerState state);

// The server's certificate and private key, DER encoded (X.509 certificate; PKCS #1 or PKCS #8
// private key).
struct TlsIdentity {
    Bytes privateKey;
    Bytes certificate;
};

struct QuicParameters {
    std::vector<std::string> alpn{"vnlk"};
    std::chrono::milliseconds idleTimeout{600000};
    // A peer that acknowledges nothing for this long while data waits for its acknowledgement is
    // gone (a vanished client stops answering, but the idle timer restarts with every send).
    std::chrono::milliseconds unacknowledgedTimeout{20000};
    std::uint64_t initialMaxData = 1048576;
    std::uint64_t initialMaxStreamDataBidirectionalLocal = 524288;
    std::uint64_t initialMaxStreamDataBidirectionalRemote = 524288;
    // Upper bound on every datagram sent once the handshake is done. Datagrams carrying Initial
    // packets are padded to 1200 bytes and at least 1200 is advertised as the receive limit, as
    // QUIC v1 requires; values below 1200 apply after the handshake only.
    std::size_t maxUDPPayloadSize = 1024;
    // Required by a listener to complete handshakes; unused by clients.
    std::optional<TlsIdentity> identity;
};

// How a send relates to the stream: only a complete final message ends the stream (FIN).
enum class ContentContext { defaultMessage, finalMessage };

class Connection {
  public:
    using StateUpdateHandler = std::function<void(ConnectionState, std::optional<NetworkError>)>;
    // data is absent when nothing was read (end of stream or error). isComplete: the stream's
    // read side has ended and this completion carries its last bytes, if any.
    using ReceiveCompletion = std::function<void(std::optional<Bytes> data, bool isComplete,
                                                 std::optional<NetworkError>)>;
    // Fires once the transport has taken the bytes (content processed): at once, on the
    // connection's queue, while the stream's send buffer has room (a bounded amount); otherwise
    // once they are written to the network.
    using SendCompletion = std::function<void(std::optional<NetworkError>)>;

    virtual ~Connection() = default;

    virtual void setStateUpdateHandler(StateUpdateHandler handler) = 0;
    virtual void start(DispatchQueue& queue) = 0;
    // Delivers between minimumIncompleteLength and maximumLength bytes; fewer than the minimum
    // only when the stream ended or failed. Receives complete in the order they were armed.
    virtual void receive(std::size_t minimumIncompleteLength, std::size_t maximumLength,
                         ReceiveCompletion completion) = 0;
    // Sends are ordered. Marked complete in the final-message context, the send ends the stream.
    virtual void send(Bytes data, bool isComplete, SendCompletion completion,
                      ContentContext context = ContentContext::defaultMessage) = 0;
    virtual void cancel() = 0;

    virtual ConnectionState state() const = 0;
    // Text for reports, e.g. "127.0.0.1:53211#4" (remote endpoint, then stream id).
    virtual std::string description() const = 0;
    // "address:port" of the peer.
    virtual std::string remoteAddress() const = 0;
    // Unique in the process for the connection's lifetime; usable as a map key.
    virtual std::uint64_t id() const = 0;

    // Client side: a further bidirectional stream on the same QUIC connection, not yet started.
    // Returns nullptr on the server side or when the connection is gone.
    virtual std::shared_ptr<Connection> openStream() = 0;
};

class Listener {
  public:
    using StateUpdateHandler = std::function<void(ListenerState, std::optional<NetworkError>)>;
    using NewConnectionHandler = std::function<void(std::shared_ptr<Connection>)>;

    // Binds UDP/IPv4 port (0 picks a free one). Throws NetworkException when it cannot.
    static std::shared_ptr<Listener> make(std::uint16_t port, QuicParameters parameters);

    virtual ~Listener() = default;

    virtual void setStateUpdateHandler(StateUpdateHandler handler) = 0;
    virtual void setNewConnectionHandler(NewConnectionHandler handler) = 0;
    virtual void start(DispatchQueue& queue) = 0;
    // Stops accepting; connections already accepted live on.
    virtual void cancel() = 0;
    // Ends every connection accepted on this port, telling each peer at once (QUIC
    // CONNECTION_CLOSE) instead of leaving it to time out; returns once that is sent. Call it
    // before cancel().
    virtual void closeConnections() = 0;
    virtual ListenerState state() const = 0;
    // The bound port.
    virtual std::uint16_t port() const = 0;
};

// Client side: a QUIC connection to host:port (IPv4) with one bidirectional stream. The handshake
// starts with start(); the connection is ready once the stream is open. The server's certificate
// is not verified.
std::shared_ptr<Connection> connectQuic(const std::string& host, std::uint16_t port,
                                        QuicParameters parameters);

}  // namespace vl
