#include "comm/QuicServer.h"

#include "base/Log.h"

#include <utility>

namespace vl {

namespace {

bool isValidIdentity(const TlsIdentity& identity) {
    return !identity.certificate.empty() && !identity.privateKey.empty();
}

}  // namespace

QuicServer::QuicServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue,
                       std::string serverName, TlsIdentitySource identity)
    : port_(port),
      queue_(std::move(queue)),
      serverName_(std::move(serverName)),
      identity_(std::move(identity)) {}

QuicServer::~QuicServer() {
    std::shared_ptr<Listener> listener;
    {
        std::lock_guard lock(mutex_);
        listener = std::move(listener_);
    }
    if (listener) listener->cancel();
}

std::uint16_t QuicServer::boundPort() const {
    std::lock_guard lock(mutex_);
    return listener_ ? listener_->port() : port_;
}

bool QuicServer::isListening() const {
    std::lock_guard lock(mutex_);
    return listener_ != nullptr;
}

std::string errorText(const std::optional<NetworkError>& error) {
    return error ? error->description() : std::string("unknown");
}

void QuicServer::report(const std::string& message) const {
    logMsg(message);
}

QuicParameters QuicServer::quicParameters(const TlsIdentity& identity) {
    QuicParameters parameters;  // ALPN "vnlk", 600 s idle, 1 MiB / 512 KiB windows, 1024 B
    configureTLS(parameters, identity, true);
    return parameters;
}

void QuicServer::configureTLS(QuicParameters& parameters, const TlsIdentity& identity,
                              bool /*disableServerTrustEvaluation*/) {
    // The transport never asks a client for a certificate, so every peer is trusted at the TLS
    // layer; the control protocol's password authenticates the client.
    parameters.identity = identity;
}

QuicParameters QuicServer::createSecureQUICServerParameters() {
    auto identity = identity_ ? identity_() : std::nullopt;
    if (identity && isValidIdentity(*identity)) return quicParameters(*identity);
    report(serverName_ + ": no usable TLS identity; the listener cannot complete handshakes");
    return QuicParameters{};
}

void QuicServer::start() {
    auto listener = Listener::make(port_, createSecureQUICServerParameters());
    std::weak_ptr<QuicServer> weak = weak_from_this();
    listener->setStateUpdateHandler([weak](ListenerState state, std::optional<NetworkError> error) {
        if (auto self = weak.lock()) self->listenerStateChanged(state, error);
    });
    listener->setNewConnectionHandler([weak](std::shared_ptr<Connection> connection) {
        if (auto self = weak.lock()) self->accepted(connection);
    });
    std::shared_ptr<Listener> previous;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(listener_, listener);
    }
    if (previous) previous->cancel();
    listener->start(*queue_);
}

void QuicServer::stop() {
    std::shared_ptr<Listener> listener;
    {
        std::lock_guard lock(mutex_);
        listener = std::move(listener_);
        listener_.reset();
    }
    if (listener) listener->cancel();
}

void QuicServer::closeConnections() {
    std::shared_ptr<Listener> listener;
    {
        std::lock_guard lock(mutex_);
        listener = listener_;
    }
    if (listener) listener->closeConnections();
}

void QuicServer::listenerStateChanged(ListenerState state,
                                      const std::optional<NetworkError>& error) {
    switch (state) {
        case ListenerState::ready:
            report(serverName_ + " is ready and listening on " + listeningHost() + ":" +
                   std::to_string(boundPort()));
            break;
        case ListenerState::failed:
            report(serverName_ + " on port " + std::to_string(port_) +
                   " failed with error: " + errorText(error));
            break;
        default:
            break;
    }
}

void QuicServer::accepted(const std::shared_ptr<Connection>& connection) {
    report("🆕 Listener accepted new connection [" + connection->description() + "] on port " +
           std::to_string(port_) + " from " + connection->remoteAddress());
    handleConnection(connection);
}

void QuicServer::handleConnection(const std::shared_ptr<Connection>& connection) {
    auto self = shared_from_this();
    // The connection keeps its handler, so the handler holds it weakly: held strongly, an ended
    // connection would keep itself and this server alive for good. The transport and the armed
    // receive keep a live connection.
    std::weak_ptr<Connection> weakConnection = connection;
    connection->setStateUpdateHandler(
        [self, weakConnection](ConnectionState state, std::optional<NetworkError> error) {
            const std::string port = std::to_string(self->port_);
            switch (state) {
                case ConnectionState::ready:
                    self->report("Connection is ready on port " + port);
                    if (auto connection = weakConnection.lock()) self->receivePacket(connection);
                    break;
                case ConnectionState::failed:
                    self->report("Connection failed on port " + port +
                                 " with error: " + errorText(error));
                    break;
                case ConnectionState::cancelled:
                    self->report("Connection cancelled on port " + port);
                    break;
                default:
                    break;
            }
        });
    connection->start(*queue_);
}

void QuicServer::receivePacket(const std::shared_ptr<Connection>& connection) {
    std::weak_ptr<QuicServer> weak = weak_from_this();
    connection->receive(
        20, 4096,
        [weak, connection](std::optional<Bytes> data, bool, std::optional<NetworkError> error) {
            auto self = weak.lock();
            if (!self) return;
            if (!data || data->empty()) {
                if (error) self->report("Receive failed: " + error->description());
                return;
            }
            // One receive is one packet here: the default loop keeps nothing across receives.
            if (auto packet = Packet::decode(*data))
                self->report("Received packet: " + packet->debugDescription() +
                             ", connection state:" + description(connection->state()));
            self->receivePacket(connection);
        });
}

void QuicServer::sendPacket(const std::shared_ptr<Connection>& connection, const Packet& packet) {
    const ConnectionState state = connection->state();
    if (state != ConnectionState::ready) {
        report("Cannot send packet: connection state is " + description(state));
        return;
    }
    Bytes bytes = packet.encode();
    report("Attempting to send packet of size " + std::to_string(bytes.size()) + " bytes");
    std::weak_ptr<QuicServer> weak = weak_from_this();
    connection->send(std::move(bytes), true,
                     [weak, text = packet.debugDescription()](std::optional<NetworkError> error) {
                         auto self = weak.lock();
                         if (!self) return;
                         if (error)
                             self->report("Send failed: " + error->description());
                         else
                             self->report("Packet sent successfully: " + text);
                     });
}

}  // namespace vl
