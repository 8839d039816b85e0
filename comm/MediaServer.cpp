#include "comm/MediaServer.h"

#include <utility>

namespace vl {

MediaServer::MediaServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue, std::string name,
                         TlsIdentitySource identity, std::shared_ptr<ClientGate> gate,
                         Admission admission)
    : QuicServer(port, std::move(queue), std::move(name), std::move(identity)),
      gate_(gate ? std::move(gate) : std::make_shared<ClientGate>()),
      admission_(admission) {}

MediaServer::~MediaServer() {
    if (observer_) gate_->removeObserver(*observer_);
}

void MediaServer::start() {
    followGate();
    QuicServer::start();
}

std::shared_ptr<Connection> MediaServer::activeConnection() const {
    std::lock_guard lock(mutex_);
    return activeConnection_;
}

void MediaServer::handleConnection(const std::shared_ptr<Connection>& connection) {
    reportConnection(ConnectionEvent::incoming, *connection, std::nullopt);
    // Weak both ways: the connection keeps its handler, so holding either strongly would keep an
    // ended connection, or a server already gone, alive. The transport and the armed receive
    // keep a live connection.
    std::weak_ptr<MediaServer> weak = std::static_pointer_cast<MediaServer>(shared_from_this());
    std::weak_ptr<Connection> weakConnection = connection;
    connection->setStateUpdateHandler(
        [weak, weakConnection](ConnectionState state, std::optional<NetworkError> error) {
            auto self = weak.lock();
            auto connection = weakConnection.lock();
            if (self && connection) self->connectionStateChanged(connection, state, error);
        });
    connection->start(queue());
}

void MediaServer::connectionStateChanged(const std::shared_ptr<Connection>& connection,
                                         ConnectionState state,
                                         const std::optional<NetworkError>& error) {
    switch (state) {
        case ConnectionState::setup:
            reportConnection(ConnectionEvent::setup, *connection, error);
            break;
        case ConnectionState::preparing:
            reportConnection(ConnectionEvent::preparing, *connection, error);
            break;
        case ConnectionState::waiting:
            reportConnection(ConnectionEvent::waiting, *connection, error);
            break;
        case ConnectionState::ready:
            if (admission_ == Admission::whenReady && !admit(connection)) return;
            reportConnection(ConnectionEvent::ready, *connection, error);
            receivePacket(connection);
            break;
        case ConnectionState::failed:
        case ConnectionState::cancelled:
            reportConnection(state == ConnectionState::failed ? ConnectionEvent::failed
                                                              : ConnectionEvent::cancelled,
                             *connection, error);
            forget(connection);
            connection->setStateUpdateHandler(nullptr);
            connectionEnded(connection);
            break;
    }
}

bool MediaServer::admit(const std::shared_ptr<Connection>& connection) {
    followGate();
    bool admitted = false;
    {
        std::lock_guard lock(mutex_);
        admitted = acceptsConnections() && gate_->admits(*connection);
        // A newer admitted connection replaces an older one.
        if (admitted) activeConnection_ = connection;
    }
    if (!admitted) {
        reportConnection(ConnectionEvent::refused, *connection, std::nullopt);
        connection->cancel();
        return false;
    }
    connectionAdmitted(connection);
    return true;
}

void MediaServer::releaseActiveConnection(bool cancel) {
    std::shared_ptr<Connection> released;
    {
        std::lock_guard lock(mutex_);
        released = std::exchange(activeConnection_, nullptr);
    }
    if (released && cancel) released->cancel();
}

void MediaServer::forget(const std::shared_ptr<Connection>& connection) {
    std::lock_guard lock(mutex_);
    if (activeConnection_ == connection) activeConnection_.reset();
}

void MediaServer::followGate() {
    std::call_once(following_, [this] {
        std::weak_ptr<MediaServer> weak = std::static_pointer_cast<MediaServer>(shared_from_this());
        observer_ = gate_->addObserver([weak] {
            if (auto self = weak.lock()) self->clientGateChanged();
        });
    });
}

void MediaServer::clientGateChanged() {
    std::shared_ptr<Connection> dropped;
    {
        std::lock_guard lock(mutex_);
        // A connection admitted before the client became known must come from it too.
        if (activeConnection_ && !gate_->admits(*activeConnection_))
            dropped = std::exchange(activeConnection_, nullptr);
    }
    if (dropped) {
        reportConnection(ConnectionEvent::dropped, *dropped, std::nullopt);
        dropped->cancel();
    }
}

void MediaServer::reportConnection(ConnectionEvent event, const Connection& connection,
                                   const std::optional<NetworkError>& error) {
    const std::string port = portText();
    switch (event) {
        case ConnectionEvent::ready:
            report("Custom server: Connection is ready on port " + port);
            break;
        case ConnectionEvent::failed:
            report("Custom server: Connection failed on port " + port +
                   " with error: " + errorText(error));
            break;
        case ConnectionEvent::cancelled:
            report("Custom server: Connection cancelled on port " + port);
            break;
        case ConnectionEvent::refused:
            report("🟨 " + serverName() + ": refused connection [" + connection.description() +
                   "], not the connected client's address");
            break;
        case ConnectionEvent::dropped:
            report("🟨 " + serverName() + ": dropping connection [" + connection.description() +
                   "], not the connected client's address");
            break;
        case ConnectionEvent::incoming:
        case ConnectionEvent::setup:
        case ConnectionEvent::preparing:
        case ConnectionEvent::waiting:
            break;
    }
}

}  // namespace vl
