#include "comm/ControlServer.h"

#include "app/SystemInfo.h"
#include "base/Base64.h"
#include "comm/AppShell.h"
#include "comm/DisplayDescriptor.h"
#include "comm/SpeedTestServer.h"

namespace vl {

namespace {

const char* text(bool value) { return value ? "true" : "false"; }

std::string errorText(const std::optional<NetworkError>& error) {
    return error ? error->description() : "unknown error";
}

}  // namespace

bool constantTimeEquals(std::string_view a, std::string_view b) {
    std::size_t length = std::max(a.size(), b.size());
    unsigned difference = a.size() != b.size();
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        difference |= x ^ y;
    }
    return difference == 0;
}

ControlServer::ControlServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue,
                             std::string name)
    : QuicServer(port, std::move(queue), std::move(name)) {}

ControlServer::~ControlServer() {
    if (disconnectObserver_) NotificationCenter::defaultCenter().removeObserver(*disconnectObserver_);
    if (keepaliveTimer_) keepaliveTimer_->cancel();
}

std::weak_ptr<ControlServer> ControlServer::weakSelf() {
    return std::static_pointer_cast<ControlServer>(shared_from_this());
}

void ControlServer::observeClientDisconnect() {
    std::weak_ptr<ControlServer> weak = weakSelf();
    disconnectObserver_ = NotificationCenter::defaultCenter().addObserver(
        clientDisconnectNotification, [weak](const std::any&) {
            if (auto self = weak.lock()) self->onClientDisconnect();
        });
}

// MARK: - Accepting and connection states

void ControlServer::handleConnection(const std::shared_ptr<Connection>& connection) {
    {
        std::lock_guard lock(mutex_);
        ++connectionCount_;
        SystemInfo::logMsg("🔗 New connection #" + std::to_string(connectionCount_) +
                           " accepted: " + connection->description() +
                           ", endpoint: " + connection->remoteAddress());
    }
    // Only a connection that authenticates becomes the active one (see handleConnect): a
    // stranger's connection must not displace the known client's.
    std::weak_ptr<ControlServer> weak = weakSelf();
    std::weak_ptr<Connection> weakConnection = connection;
    connection->setStateUpdateHandler(
        [weak, weakConnection](ConnectionState state, std::optional<NetworkError> error) {
            auto self = weak.lock();
            auto connection = weakConnection.lock();
            if (self && connection) self->onConnectionState(connection, state, error);
        });
    connection->start(DispatchQueue::global());
}

void ControlServer::onConnectionState(const std::shared_ptr<Connection>& connection,
                                      ConnectionState state,
                                      const std::optional<NetworkError>& error) {
    std::string port = std::to_string(getPort());
    std::string tag = "[" + connection->description() + "] ";
    switch (state) {
        case ConnectionState::ready:
            SystemInfo::logMsg(tag + "Connection is ready on port " + port);
            receivePacket(connection);
            return;
        case ConnectionState::waiting:
            SystemInfo::logMsg("Connection waiting on port " + port + " with error: " + errorText(error));
            return;
        case ConnectionState::preparing:
            SystemInfo::logMsg("Connection preparing on port " + port);
            return;
        case ConnectionState::setup:
            SystemInfo::logMsg("Connection setup on port " + port);
            return;
        case ConnectionState::failed:
        case ConnectionState::cancelled: break;
    }

    std::lock_guard lock(mutex_);
    if (state == ConnectionState::failed)
        SystemInfo::logMsg(tag + "Connection failed on port " + port + " with error: " +
                           errorText(error) + ", rdpStarted: " + text(rdpStarted_));
    else
        SystemInfo::logMsg(tag + "Connection cancelled on port " + port +
                           ", rdpStarted: " + text(rdpStarted_));

    // A finished connection keeps no buffer or credentials, whoever it was.
    receiveBuffers_.remove(connection->id());
    authenticated_.erase(connection->id());
    if (connection != activeConnection_) return;

    SystemInfo::restoreSystemSleepOrLock();
    if (rdpStarted_) handleRdpStop();
    activeConnection_.reset();
    if (keepaliveTimer_) {
        keepaliveTimer_->cancel();
        keepaliveTimer_.reset();
    }
    if (auto app = getApp(); app && app->currentConnectedClient()) {
        app->setCurrentConnectedClient(std::nullopt);
        NotificationCenter::defaultCenter().post(clientDisconnectNotification);
    }
}

// MARK: - Receive loop

void ControlServer::receivePacket(const std::shared_ptr<Connection>& connection) {
    SystemInfo::logMsg("[" + connection->description() + "] Starting continuous receive loop");
    armReceive(connection);
}

// One receive at a time; each completion drains its bytes, then arms the next.
void ControlServer::armReceive(const std::shared_ptr<Connection>& connection) {
    std::weak_ptr<ControlServer> weak = weakSelf();
    connection->receive(1, 4096, [weak, connection](std::optional<Bytes> data, bool,
                                                    std::optional<NetworkError> error) {
        auto self = weak.lock();
        if (!self) return;
        self->handleReceive(connection, std::move(data), error);
        auto state = connection->state();
        if (state == ConnectionState::ready || state == ConnectionState::preparing) {
            self->armReceive(connection);
        } else if (!error) {
            SystemInfo::logMsg("[" + connection->description() +
                               "] Stopping receive loop, connection state: " + description(state));
        }
    });
}

void ControlServer::handleReceive(const std::shared_ptr<Connection>& connection,
                                  std::optional<Bytes> data,
                                  const std::optional<NetworkError>& error) {
    if (error) {
        SystemInfo::logMsg("[" + connection->description() + "] Receive error: " +
                           error->description() +
                           ", connection state: " + description(connection->state()));
        return;
    }
    if (!data || data->empty()) return;
    std::lock_guard lock(mutex_);
    receiveBuffers_.append(connection->id(), connection->description(), *data,
                           [&](Packet&& packet) { dispatch(connection, std::move(packet)); });
}

// MARK: - Dispatch

void ControlServer::dispatch(const std::shared_ptr<Connection>& connection, Packet&& packet) {
    using enum InteractionType;
    if (packet.subType == connect) {
        handleConnect(packet, connection);
        return;
    }
    // Everything else is only for the client that gave the password.
    if (packet.subType == keepLive || !isAuthenticated(*connection)) return;

    switch (packet.subType) {
        case disconnect: handleDisconnection(packet); break;
        case rdpStop: handleRdpStop(); break;
        case speedTest: handleSpeedTest(packet, connection); break;
        case speedTestStart:
            SystemInfo::logMsg("[" + connection->description() +
                               "] speedTestStart belongs on the speed-test port; ignored here");
            break;
        case speedTestStop: handleSpeedTestStop(); break;
        default: break;  // no handler on this server yet: consumed and ignored
    }
}

// MARK: - Connect and answers

void ControlServer::handleConnect(const Packet& packet,
                                  const std::shared_ptr<Connection>& connection) {
    using enum InteractionType;
    std::optional<ConnectReq> request;
    if (packet.data) request = ConnectReq::fromJson(*packet.data);
    if (!request || request->password.empty()) {
        simplyAct(ret400, connection);
        return;
    }
    std::string stored = SystemInfo::password();
    auto decoded = base64Decode(std::string_view(request->password));
    if (!decoded || !isValidUtf8(*decoded) || !constantTimeEquals(stringOf(*decoded), stored)) {
        simplyAct(ret400, connection);
        return;
    }
    auto app = getApp();
    auto known = app ? app->currentConnectedClient() : std::nullopt;
    if (known && *known != request->clientDeviceID) {
        simplyAct(retBusy, connection);
        return;
    }

    {
        std::lock_guard lock(mutex_);
        authenticated_.insert(connection->id());
        // The authenticated connection is the session's link, replacing any earlier one (the
        // same device reconnecting) without cancelling it.
        activeConnection_ = connection;
        startKeepalive(connection);
    }
    simplyAct(ret200, connection);
    SystemInfo::preventSystemSleepOrLock();
    NotificationCenter::defaultCenter().post(clientConnectNotification, *request);
}

void ControlServer::simplyAct(InteractionType subType,
                              const std::shared_ptr<Connection>& connection) {
    std::string tag = "[" + connection->description() + "] ";
    auto state = connection->state();
    if (state == ConnectionState::failed) {
        SystemInfo::logMsg(tag + "Connection failed, cannot send");
        return;
    }
    if (state == ConnectionState::cancelled) {
        SystemInfo::logMsg(tag + "Connection cancelled, cannot send");
        return;
    }
    Packet answer(PacketType::pktInteractiveTap, subType,
                  connectAnswerText(SystemInfo::appUniqueID(), SystemInfo::machineName()));
    Bytes bytes = answer.encode();
    SystemInfo::logMsg(tag + "Attempting to send " + std::to_string(bytes.size()) +
                       " bytes response packet with subType: " + std::string(description(subType)) +
                       ", packetId: " + answer.packetId.uuidString());
    connection->send(std::move(bytes), true, [tag, subType](std::optional<NetworkError> error) {
        if (error)
            SystemInfo::logMsg(tag + "Response packet send failed: " + error->description(),
                               LogLevel::error);
        else
            SystemInfo::logMsg(tag + "Response packet sent successfully: " +
                               std::string(description(subType)));
    });
}

// MARK: - Disconnect and session end

void ControlServer::handleDisconnection(const Packet& packet) {
    if (!packet.data) return;
    auto request = ConnectReq::fromJson(*packet.data);
    if (!request) return;
    std::lock_guard lock(mutex_);
    SystemInfo::logMsg("handleDisconnection: " + request->clientDeviceID +
                       ", rdpStarted: " + text(rdpStarted_) +
                       ", activeConnection: " + text(activeConnection_ != nullptr));
    auto app = getApp();
    if (!app || app->currentConnectedClient() != request->clientDeviceID) return;
    if (rdpStarted_) handleRdpStop();
    app->setCurrentConnectedClient(std::nullopt);
    NotificationCenter::defaultCenter().post(clientDisconnectNotification);
}

void ControlServer::onClientDisconnect() {
    SystemInfo::restoreSystemSleepOrLock();
    std::lock_guard lock(mutex_);
    if (activeConnection_ && activeConnection_->state() == ConnectionState::ready) {
        Packet bye(PacketType::pktInteractiveTap, InteractionType::disconnect);
        activeConnection_->send(bye.encode(), true, nullptr);
    }
    handleRdpStop();
}

void ControlServer::handleRdpStop() {
    std::lock_guard lock(mutex_);
    // Sharing sessions hook their teardown in here; with none started there is nothing to stop.
    rdpStarted_ = false;
}

// MARK: - Keepalive

void ControlServer::startKeepalive(const std::shared_ptr<Connection>& connection) {
    if (keepaliveTimer_) keepaliveTimer_->cancel();
    auto timer = DispatchTimer::make(DispatchQueue::global());
    timer->schedule(Clock::now() + keepaliveInterval_, keepaliveInterval_);
    std::weak_ptr<Connection> weakConnection = connection;
    std::weak_ptr<DispatchTimer> weakTimer = timer;
    timer->setEventHandler([weakConnection, weakTimer] {
        auto connection = weakConnection.lock();
        if (connection && connection->state() == ConnectionState::ready) {
            connection->send(Bytes{0x00}, true, nullptr);
        } else if (auto timer = weakTimer.lock()) {
            timer->cancel();
        }
    });
    timer->resume();
    keepaliveTimer_ = std::move(timer);
}

// MARK: - Speed test

void ControlServer::handleSpeedTest(const Packet& packet,
                                    const std::shared_ptr<Connection>& connection) {
    int port = getPort() + 3;
    auto server = std::make_shared<SpeedTestServer>(
        static_cast<std::uint16_t>(port), std::make_shared<DispatchQueue>("SpeedTestRequestQueue"),
        "SpeedTestServer");
    {
        std::lock_guard lock(mutex_);
        // The earlier server is replaced, not stopped: its listener goes with it.
        speedTestServer_ = server;
    }
    server->stopRequested = false;
    try {
        server->start();
    } catch (const std::exception& error) {
        SystemInfo::logMsg(std::string("Failed to start speed test server: ") + error.what(),
                           LogLevel::error);
    }
    std::string answer =
        "port:" + std::to_string(port) + " length:" + std::to_string(server->testDataSize);
    sendPacket(connection, Packet::answering(packet, bytesOf(answer)));
}

void ControlServer::handleSpeedTestStop() {
    std::lock_guard lock(mutex_);
    if (!speedTestServer_) return;
    speedTestServer_->stopRequested = true;
    speedTestServer_->stop();
    speedTestServer_.reset();
}

// MARK: - Server-initiated messages

void ControlServer::sendToActiveClient(InteractionType subType, const std::string& json) {
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard lock(mutex_);
        connection = activeConnection_;
    }
    if (!connection || connection->state() != ConnectionState::ready) return;
    sendPacket(connection, Packet(PacketType::pktInteractiveTap, subType, bytesOf(json)));
}

void ControlServer::sendClipboardToActiveClient(const ClipboardEvent& event) {
    sendToActiveClient(InteractionType::clipboard, event.toJson());
}

void ControlServer::sendActiveWindowToActiveClient(const ActiveWindowInfo& info) {
    sendToActiveClient(InteractionType::activeWindowOnDisplay, info.toJson());
}

// MARK: - Extra display slots

std::optional<int> ControlServer::monitorPort(int index) const {
    if (index < 1 || index > 4) return std::nullopt;
    return getPort() + 6 + (index - 1);
}

std::optional<int> ControlServer::monitorIndex(int port) const {
    int difference = port - (getPort() + 6);
    if (difference < 0 || difference > 3) return std::nullopt;
    return difference + 1;
}

void ControlServer::setMonitorOccupied(int index) {
    if (index < 1 || index > 4) {
        SystemInfo::logMsg("setMonitorOccupied: invalid display index " + std::to_string(index));
        return;
    }
    std::lock_guard lock(mutex_);
    extraDisplayMask_ |= static_cast<std::uint8_t>(1u << (index - 1));
}

void ControlServer::clearMonitorOccupied(int index) {
    if (index < 1 || index > 4) {
        SystemInfo::logMsg("clearMonitorOccupied: invalid display index " + std::to_string(index));
        return;
    }
    std::lock_guard lock(mutex_);
    extraDisplayMask_ &= static_cast<std::uint8_t>(~(1u << (index - 1)));
}

// MARK: - Read-outs

std::shared_ptr<Connection> ControlServer::activeConnection() const {
    std::lock_guard lock(mutex_);
    return activeConnection_;
}

int ControlServer::connectionCount() const {
    std::lock_guard lock(mutex_);
    return connectionCount_;
}

bool ControlServer::rdpStarted() const {
    std::lock_guard lock(mutex_);
    return rdpStarted_;
}

std::uint8_t ControlServer::extraDisplayMask() const {
    std::lock_guard lock(mutex_);
    return extraDisplayMask_;
}

bool ControlServer::isAuthenticated(const Connection& connection) const {
    std::lock_guard lock(mutex_);
    return authenticated_.contains(connection.id());
}

std::shared_ptr<SpeedTestServer> ControlServer::speedTestServer() const {
    std::lock_guard lock(mutex_);
    return speedTestServer_;
}

}  // namespace vl
