// The base of every network server: one QUIC listener on one UDP port, a default connection life
// cycle, a default receive loop and the packet send used by the control channel. Subclasses
// override the hooks they need; the base never tracks the connections it accepts.
#pragma once

#include "base/DispatchQueue.h"
#include "comm/Packet.h"
#include "platform/network/Interface.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace vl {

// Where a server's TLS identity comes from (the keychain, in the program); none when it cannot
// be had.
using TlsIdentitySource = std::function<std::optional<TlsIdentity>()>;

// The error as the servers' reports show it; "unknown" without one.
std::string errorText(const std::optional<NetworkError>& error);

class QuicServer : public std::enable_shared_from_this<QuicServer> {
  public:
    // Stores the values; does not touch the network. The queue runs the listener's handlers and
    // the connections the default life cycle accepts.
    QuicServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue, std::string serverName,
               TlsIdentitySource identity);
    virtual ~QuicServer();
    QuicServer(const QuicServer&) = delete;
    QuicServer& operator=(const QuicServer&) = delete;

    std::uint16_t getPort() const { return port_; }
    // The port the listener is bound to: the configured one, or the one picked for port 0.
    std::uint16_t boundPort() const;
    DispatchQueue& queue() const { return *queue_; }
    const std::shared_ptr<DispatchQueue>& sharedQueue() const { return queue_; }
    const std::string& serverName() const { return serverName_; }

    virtual QuicParameters quicParameters(const TlsIdentity& identity);
    virtual void configureTLS(QuicParameters& parameters, const TlsIdentity& identity,
                              bool disableServerTrustEvaluation);

    // Throws NetworkException when the listener cannot be created; the previous listener stays.
    virtual void start();
    // Cancels and forgets the listener; accepted connections live on.
    virtual void stop();
    // Ends every connection accepted on the port, telling each client at once (at shutdown).
    void closeConnections();

    virtual void handleConnection(const std::shared_ptr<Connection>& connection);
    virtual void sendPacket(const std::shared_ptr<Connection>& connection, const Packet& packet);
    virtual void receivePacket(const std::shared_ptr<Connection>& connection);

    bool isListening() const;

  protected:
    void report(const std::string& message) const;
    // The host named in the "listening" report; the machine's address where a server knows it.
    virtual std::string listeningHost() const { return {}; }
    const TlsIdentitySource& identitySource() const { return identity_; }

  private:
    QuicParameters createSecureQUICServerParameters();
    void listenerStateChanged(ListenerState state, const std::optional<NetworkError>& error);
    void accepted(const std::shared_ptr<Connection>& connection);

    const std::uint16_t port_;
    const std::shared_ptr<DispatchQueue> queue_;
    const std::string serverName_;
    const TlsIdentitySource identity_;
    mutable std::mutex mutex_;
    std::shared_ptr<Listener> listener_;
};

}  // namespace vl
