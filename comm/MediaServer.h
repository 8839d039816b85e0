// comm: the base of every media port of a session (video, extra displays, audio, microphone,
// camera, speed test). It owns the life they share: while a client is known only a connection
// from the authenticated client's address is admitted; the one admitted connection is the
// server's active connection (a newer one replaces it), forgotten when it ends and dropped when
// the gate no longer admits it. Each server keeps only what its stream does, and its reports.
#pragma once

#include "comm/ClientGate.h"
#include "comm/QuicServer.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vl {

class MediaServer : public QuicServer {
  public:
    // When a connection becomes the active one: as soon as it is ready, or once the server has
    // heard from it (the video port waits for the client's first packet).
    enum class Admission { whenReady, whenIdentified };

    // The steps of a connection's life a server reports.
    enum class ConnectionEvent {
        incoming,  // accepted, handshake starting
        setup,     // the transport's intermediate states
        preparing,
        waiting,
        ready,
        failed,  // with the error
        cancelled,
        refused,  // not admitted: not the connected client's address, or the server stopped
        dropped,  // the active connection, no longer admitted after the gate changed
    };

    // Without a gate the server has one of its own (admitting everyone until an address is set).
    MediaServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue, std::string name,
                TlsIdentitySource identity, std::shared_ptr<ClientGate> gate = nullptr,
                Admission admission = Admission::whenReady);
    ~MediaServer() override;

    // Follows the gate from here on: a connection admitted before a change must pass it too.
    void start() override;

    // Starts the connection on the server's queue; its states drive the life above, and a ready
    // connection's receive loop (receivePacket) is armed.
    void handleConnection(const std::shared_ptr<Connection>& connection) final;

    std::shared_ptr<Connection> activeConnection() const;

    const std::shared_ptr<ClientGate>& gate() const { return gate_; }
    void setAuthorizedClientAddress(std::optional<std::string> address) {
        gate_->setAuthorizedClientAddress(std::move(address));
    }
    std::optional<std::string> authorizedClientAddress() const { return gate_->authorizedHost(); }

  protected:
    // Makes the connection the active one when the gate admits it and the server accepts
    // connections; otherwise reports `refused` and cancels it. True when admitted.
    bool admit(const std::shared_ptr<Connection>& connection);
    // Lets go of the active connection: `cancel` ends it, otherwise its client does.
    void releaseActiveConnection(bool cancel);

    // Whether a connection that becomes ready now may be admitted (a stopped server says no).
    virtual bool acceptsConnections() const { return true; }
    // Runs once the connection became the active one, before its receive loop starts.
    virtual void connectionAdmitted(const std::shared_ptr<Connection>&) {}
    // Runs when a connection failed or was cancelled, after it stopped being the active one.
    virtual void connectionEnded(const std::shared_ptr<Connection>&) {}
    // After the gate changed: drops the active connection when the gate no longer admits it.
    virtual void clientGateChanged();
    // Reports one step; by default the "Custom server" texts and the gate's refusals.
    virtual void reportConnection(ConnectionEvent event, const Connection& connection,
                                  const std::optional<NetworkError>& error);
    std::string portText() const { return std::to_string(boundPort()); }

  private:
    void connectionStateChanged(const std::shared_ptr<Connection>& connection,
                                ConnectionState state, const std::optional<NetworkError>& error);
    void forget(const std::shared_ptr<Connection>& connection);
    void followGate();

    std::shared_ptr<ClientGate> gate_;
    const Admission admission_;
    std::once_flag following_;
    std::optional<ClientGate::Token> observer_;

    mutable std::mutex mutex_;
    std::shared_ptr<Connection> activeConnection_;
};

}  // namespace vl
