#include "comm/ControlServer.h"

#include "base/Base64.h"
#include "base/Log.h"
#include "base/TimerClock.h"
#include "comm/DisplayDescriptor.h"
#include "comm/SpeedTestServer.h"

#include <stdexcept>

namespace vl {

namespace {

const char* text(bool value) {
    return value ? "true" : "false";
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

std::shared_ptr<ControlServer> ControlServer::make(std::uint16_t port,
                                                   std::shared_ptr<DispatchQueue> queue,
                                                   std::string name, SessionEnvironment environment,
                                                   TimerClock& clock) {
    std::shared_ptr<ControlServer> server(
        new ControlServer(port, std::move(queue), std::move(name), std::move(environment), clock));
    server->session_ = server->makeSession();
    server->observeClientDisconnect();
    return server;
}

ControlServer::ControlServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue,
                             std::string name, SessionEnvironment environment, TimerClock& clock)
    : QuicServer(port, std::move(queue), std::move(name),
                 [settings = environment.settings] {
                     return settings ? settings->tlsIdentity() : std::nullopt;
                 }),
      environment_(environment.completed()),
      clock_(clock) {
    if (!environment_.settings || !environment_.capture || !environment_.codec ||
        !environment_.displayArrangement || !environment_.virtualDisplays)
        throw std::invalid_argument(
            "ControlServer: settings, capture, codec, display arrangement "
            "and virtual displays are required");
}

ControlServer::~ControlServer() {
    if (disconnectObserver_)
        NotificationCenter::defaultCenter().removeObserver(*disconnectObserver_);
    if (keepaliveTimer_) keepaliveTimer_->cancel();
}

std::weak_ptr<ControlServer> ControlServer::weakSelf() {
    return std::static_pointer_cast<ControlServer>(shared_from_this());
}

std::shared_ptr<SharingSession> ControlServer::makeSession() {
    return SharingSession::make(
        {weakSelf(), environment_, sharedQueue(), ports(), identitySource(), gate_, &clock_});
}

template <typename Result>
Result ControlServer::onQueue(const std::function<Result()>& block) const {
    if (queue().isCurrent()) return block();
    if constexpr (std::is_void_v<Result>) {
        queue().sync(block);
    } else {
        Result result{};
        queue().sync([&] { result = block(); });
        return result;
    }
}

void ControlServer::assertOnQueue() const {
    queue().assertCurrent();
}

void ControlServer::observeClientDisconnect() {
    std::weak_ptr<ControlServer> weak = weakSelf();
    disconnectObserver_ = NotificationCenter::defaultCenter().addObserver(
        clientDisconnectNotification, [weak](const std::any&) {
            auto self = weak.lock();
            if (!self) return;
            // Posted by this server on its queue, or by the shell (do-not-disturb) elsewhere.
            if (self->queue().isCurrent()) {
                self->onClientDisconnect();
            } else {
                self->queue().async([weak] {
                    if (auto self = weak.lock()) self->onClientDisconnect();
                });
            }
        });
}

std::string ControlServer::listeningHost() const {
    return environment_.settings->machineIPAddress().value_or("");
}

// MARK: - Accepting and connection states

void ControlServer::handleConnection(const std::shared_ptr<Connection>& connection) {
    onQueue<void>([&] {
        ++connectionCount_;
        logMsg("🔗 New connection #" + std::to_string(connectionCount_) + " accepted: " +
               connection->description() + ", endpoint: " + connection->remoteAddress());
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
        connection->start(queue());
    });
}

void ControlServer::onConnectionState(const std::shared_ptr<Connection>& connection,
                                      ConnectionState state,
                                      const std::optional<NetworkError>& error) {
    assertOnQueue();
    std::string port = std::to_string(getPort());
    std::string tag = "[" + connection->description() + "] ";
    switch (state) {
        case ConnectionState::ready:
            logMsg(tag + "Connection is ready on port " + port);
            receivePacket(connection);
            return;
        case ConnectionState::waiting:
            logMsg("Connection waiting on port " + port + " with error: " + errorText(error));
            return;
        case ConnectionState::preparing:
            logMsg("Connection preparing on port " + port);
            return;
        case ConnectionState::setup:
            logMsg("Connection setup on port " + port);
            return;
        case ConnectionState::failed:
        case ConnectionState::cancelled:
            break;
    }

    const bool sharing = session_->rdpStarted();
    if (state == ConnectionState::failed)
        logMsg(tag + "Connection failed on port " + port + " with error: " + errorText(error) +
               ", rdpStarted: " + text(sharing));
    else
        logMsg(tag + "Connection cancelled on port " + port + ", rdpStarted: " + text(sharing));

    // A finished connection keeps no buffer, credentials or place in a guessing line.
    receiveBuffers_.remove(connection->id());
    authenticated_.erase(connection->id());
    withdrawAttempt(*connection);
    if (connection != activeConnection_) return;

    environment_.power->restoreSystemSleepOrLock();
    handleRdpStop();  // ends the main session and any extra display alike
    handleSpeedTestStop();
    activeConnection_.reset();
    gate_->setAuthorizedClientAddress(std::nullopt);
    stopKeepalive();
    if (environment_.shell->currentConnectedClient()) {
        environment_.shell->setCurrentConnectedClient(std::nullopt);
        NotificationCenter::defaultCenter().post(clientDisconnectNotification);
    }
}

// MARK: - Receive loop

void ControlServer::receivePacket(const std::shared_ptr<Connection>& connection) {
    logMsg("[" + connection->description() + "] Starting continuous receive loop");
    armReceive(connection);
}

// One receive at a time; each completion drains its bytes, then arms the next. A stream whose
// read side has ended delivers nothing more, so the loop ends there and so does the connection.
void ControlServer::armReceive(const std::shared_ptr<Connection>& connection) {
    std::weak_ptr<ControlServer> weak = weakSelf();
    connection->receive(1, 4096,
                        [weak, connection](std::optional<Bytes> data, bool isComplete,
                                           std::optional<NetworkError> error) {
                            auto self = weak.lock();
                            if (!self) return;
                            if (self->handleReceive(connection, std::move(data), isComplete, error))
                                self->armReceive(connection);
                        });
}

bool ControlServer::handleReceive(const std::shared_ptr<Connection>& connection,
                                  std::optional<Bytes> data, bool isComplete,
                                  const std::optional<NetworkError>& error) {
    assertOnQueue();
    const auto state = connection->state();
    if (state != ConnectionState::ready && state != ConnectionState::preparing) {
        if (!error)
            logMsg("[" + connection->description() +
                   "] Stopping receive loop, connection state: " + description(state));
        return false;
    }
    if (data && !data->empty())
        receiveBuffers_.append(connection->id(), connection->description(), *data,
                               [&](Packet&& packet) { dispatch(connection, std::move(packet)); });
    if (!error && !isComplete) return true;
    // The state handler then ends the connection's part in the session, as for a failure.
    if (error)
        logMsg("[" + connection->description() + "] Receive error: " + error->description() +
               "; closing the connection");
    else
        logMsg("[" + connection->description() +
               "] The client ended its stream; closing the connection");
    connection->cancel();
    return false;
}

// MARK: - Dispatch

void ControlServer::dispatch(const std::shared_ptr<Connection>& connection, Packet&& packet) {
    assertOnQueue();
    using enum InteractionType;
    if (packet.subType == connect) {
        handleConnect(packet, connection);
        return;
    }
    // Everything else is only for the client that gave the password.
    if (packet.subType == keepLive || !authenticated_.contains(connection->id())) return;

    // The session of this message: a teardown below replaces it.
    auto session = session_;
    switch (packet.subType) {
        case disconnect:
            handleDisconnection(packet);
            break;
        case rdpStart:
            session->handleRdpStart(connection, packet);
            break;
        case rdpStop:
            handleRdpStop();
            break;
        case displayStart:
            session->handleDisplayStart(connection, packet);
            break;
        case displayStop:
            session->handleDisplayStop(packet);
            break;
        case rdpVideo:
            session->handleRdpVideo(packet);
            break;
        case moveWindowToVDIfNotOnVD:
            session->handleMoveWindowToVDIfNotOnVD();
            break;
        case jumpToDisplay:
            session->handleJumpToDisplay(packet);
            break;
        case mouseEvent:
            session->handleMouseEvent(packet);
            break;
        case scroll:
            session->handleMiceWheel(packet);
            break;
        case text:
            session->handleKeyboard(packet);
            break;
        case clipboard:
            session->handleClipboard(packet);
            break;
        case lookAt:
            session->handleLookat(packet);
            break;
        case speedTest:
            handleSpeedTest(packet, connection);
            break;
        case speedTestStart:
            logMsg("[" + connection->description() +
                   "] speedTestStart belongs on the speed-test port; ignored here");
            break;
        case speedTestStop:
            handleSpeedTestStop();
            break;
        default:
            break;  // no handler: consumed and ignored
    }
}

// MARK: - Connect and answers

void ControlServer::setGuessPolicy(PasswordGuessThrottle::Policy policy) {
    onQueue<void>([&] { guesses_ = PasswordGuessThrottle(policy); });
}

void ControlServer::setReceiveBufferCap(std::size_t cap) {
    onQueue<void>([&] { receiveBuffers_.setCap(cap); });
}

void ControlServer::handleConnect(const Packet& packet,
                                  const std::shared_ptr<Connection>& connection) {
    assertOnQueue();
    using enum InteractionType;
    std::optional<ConnectReq> request;
    if (packet.data) request = ConnectReq::fromJson(*packet.data);
    if (!request || request->password.empty()) {
        simplyAct(ret400, connection);
        return;
    }
    // Judged when the address's turn comes: at once unless it has been guessing.
    const std::string host = ClientGate::hostOf(connection->remoteAddress());
    if (auto waiting = waitingAttempts_.find(connection->id()); waiting != waitingAttempts_.end()) {
        waiting->second.request = *request;  // the newest request keeps the attempt's place
        return;
    }
    switch (guesses_.admit(host, connection->id(), clock_.now())) {
        case PasswordGuessThrottle::Admission::judgeNow:
            judgeConnect(*request, connection, host);
            return;
        case PasswordGuessThrottle::Admission::waiting:
            waitingAttempts_[connection->id()] = {*request, connection, host};
            scheduleTurn(host);
            return;
        case PasswordGuessThrottle::Admission::refused:
            // A flood from one address is not judged, so it holds no memory here.
            if (++unjudgedAttempts_ % 100 == 1)
                logMsg("Too many password attempts waiting from " + host + "; not answered (" +
                       std::to_string(unjudgedAttempts_) + " so far)");
            return;
    }
}

void ControlServer::scheduleTurn(const std::string& host) {
    const auto turn = guesses_.nextTurn(host);
    if (!turn) return;
    auto scheduled = scheduledTurns_.find(host);
    if (scheduled != scheduledTurns_.end() && scheduled->second <= *turn) return;
    scheduledTurns_[host] = *turn;
    std::weak_ptr<ControlServer> weak = weakSelf();
    clock_.schedule(queue(), *turn, [weak, host, turn = *turn] {
        auto self = weak.lock();
        if (!self) return;
        if (auto scheduled = self->scheduledTurns_.find(host);
            scheduled != self->scheduledTurns_.end() && scheduled->second == turn)
            self->scheduledTurns_.erase(scheduled);
        self->serveTurns(host);
    });
}

void ControlServer::serveTurns(const std::string& host) {
    assertOnQueue();
    while (auto attempt = guesses_.takeDue(host, clock_.now())) {
        auto waiting = waitingAttempts_.extract(*attempt);
        if (waiting.empty()) continue;
        auto connection = waiting.mapped().connection.lock();
        // An attempt whose connection went away is not judged and costs no turn.
        if (!connection || connection->state() != ConnectionState::ready) continue;
        judgeConnect(waiting.mapped().request, connection, host);
    }
    scheduleTurn(host);
}

void ControlServer::withdrawAttempt(const Connection& connection) {
    auto waiting = waitingAttempts_.extract(connection.id());
    if (!waiting.empty()) guesses_.withdraw(waiting.mapped().host, connection.id());
}

void ControlServer::judgeConnect(const ConnectReq& request,
                                 const std::shared_ptr<Connection>& connection,
                                 const std::string& host) {
    assertOnQueue();
    using enum InteractionType;
    const std::string stored = environment_.settings->password();
    auto decoded = base64Decode(std::string_view(request.password));
    if (!decoded || !isValidUtf8(*decoded) || !constantTimeEquals(stringOf(*decoded), stored)) {
        guesses_.recordFailure(host, clock_.now());
        if (++wrongPasswords_ % 100 == 1)
            logMsg("Wrong password from " + host + " (" + std::to_string(wrongPasswords_) +
                   " so far)");
        simplyAct(ret400, connection);
        return;
    }
    guesses_.recordSuccess(host);
    // Anyone else waiting from this address is judged at once, after this answer.
    queue().async([weak = weakSelf(), host] {
        if (auto self = weak.lock()) self->serveTurns(host);
    });
    if (environment_.shell->isBlocked(request.clientDeviceID)) {
        logMsg("🟨 [" + connection->description() + "] Device " + request.clientDeviceID +
               " is blocked in the connection log; refused");
        simplyAct(ret400, connection);
        return;
    }
    auto known = environment_.shell->currentConnectedClient();
    if (known && *known != request.clientDeviceID) {
        simplyAct(retBusy, connection);
        return;
    }

    authenticated_.insert(connection->id());
    // The authenticated connection is the session's link, replacing any earlier one (the same
    // device reconnecting) without cancelling it.
    activeConnection_ = connection;
    gate_->setAuthorizedClientAddress(connection->remoteAddress());
    startKeepalive(connection);
    simplyAct(ret200, connection);
    environment_.power->preventSystemSleepOrLock();
    // Known here as well as by the shell's observer, so that the one-device rule holds without a
    // shell.
    environment_.shell->setCurrentConnectedClient(request.clientDeviceID);
    NotificationCenter::defaultCenter().post(clientConnectNotification, request);
}

void ControlServer::simplyAct(InteractionType subType,
                              const std::shared_ptr<Connection>& connection) {
    std::string tag = "[" + connection->description() + "] ";
    auto state = connection->state();
    if (state == ConnectionState::failed) {
        logMsg(tag + "Connection failed, cannot send");
        return;
    }
    if (state == ConnectionState::cancelled) {
        logMsg(tag + "Connection cancelled, cannot send");
        return;
    }
    Packet answer(PacketType::pktInteractiveTap, subType,
                  connectAnswerText(environment_.settings->appUniqueID(),
                                    environment_.settings->machineName()));
    Bytes bytes = answer.encode();
    logMsg(tag + "Attempting to send " + std::to_string(bytes.size()) +
           " bytes response packet with subType: " + std::string(description(subType)) +
           ", packetId: " + answer.packetId.uuidString());
    connection->send(std::move(bytes), true, [tag, subType](std::optional<NetworkError> error) {
        if (error)
            logMsg(tag + "Response packet send failed: " + error->description(), LogLevel::error);
        else
            logMsg(tag + "Response packet sent successfully: " + std::string(description(subType)));
    });
}

// MARK: - Disconnect and session end

void ControlServer::handleDisconnection(const Packet& packet) {
    assertOnQueue();
    if (!packet.data) return;
    auto request = ConnectReq::fromJson(*packet.data);
    if (!request) return;
    logMsg("handleDisconnection: " + request->clientDeviceID +
           ", rdpStarted: " + text(session_->rdpStarted()) +
           ", activeConnection: " + text(activeConnection_ != nullptr));
    if (environment_.shell->currentConnectedClient() != request->clientDeviceID) return;
    handleRdpStop();  // ends the main session and any extra display alike
    environment_.shell->setCurrentConnectedClient(std::nullopt);
    NotificationCenter::defaultCenter().post(clientDisconnectNotification);
}

void ControlServer::onClientDisconnect() {
    assertOnQueue();
    environment_.power->restoreSystemSleepOrLock();
    if (activeConnection_ && activeConnection_->state() == ConnectionState::ready) {
        Packet bye(PacketType::pktInteractiveTap, InteractionType::disconnect);
        activeConnection_->send(bye.encode(), true, nullptr);
    }
    handleRdpStop();
}

void ControlServer::handleRdpStop() {
    assertOnQueue();
    if (!session_->holdsAnything()) return;
    session_->handleRdpStop();
    // Whatever the ended session still has under way finds it gone.
    session_ = makeSession();
}

void ControlServer::endSession() {
    onQueue<void>([this] { handleRdpStop(); });
}

// MARK: - Keepalive

void ControlServer::setKeepaliveInterval(std::chrono::milliseconds interval) {
    onQueue<void>([&] { keepaliveInterval_ = interval; });
}

void ControlServer::startKeepalive(const std::shared_ptr<Connection>& connection) {
    stopKeepalive();
    auto timer = DispatchTimer::make(queue(), clock_);
    timer->schedule(clock_.now() + keepaliveInterval_, keepaliveInterval_);
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

void ControlServer::stopKeepalive() {
    if (keepaliveTimer_) keepaliveTimer_->cancel();
    keepaliveTimer_.reset();
}

// MARK: - Speed test

void ControlServer::handleSpeedTest(const Packet& packet,
                                    const std::shared_ptr<Connection>& connection) {
    assertOnQueue();
    const int port = ports().speedTest();
    // The earlier server is replaced, not stopped: its listener goes with it.
    speedTestServer_ = std::make_shared<SpeedTestServer>(
        static_cast<std::uint16_t>(port), std::make_shared<DispatchQueue>("SpeedTestRequestQueue"),
        "SpeedTestServer", identitySource(), gate_);
    speedTestServer_->stopRequested = false;
    try {
        speedTestServer_->start();
    } catch (const std::exception& error) {
        logMsg(std::string("Failed to start speed test server: ") + error.what(), LogLevel::error);
    }
    std::string answer = "port:" + std::to_string(port) +
                         " length:" + std::to_string(speedTestServer_->testDataSize);
    sendPacket(connection, Packet::answering(packet, bytesOf(answer)));
}

void ControlServer::handleSpeedTestStop() {
    assertOnQueue();
    if (!speedTestServer_) return;
    speedTestServer_->stopRequested = true;
    speedTestServer_->stop();
    speedTestServer_.reset();
}

// MARK: - Server-initiated messages

void ControlServer::sendToActiveClient(InteractionType subType, const std::string& json) {
    std::weak_ptr<ControlServer> weak = weakSelf();
    auto send = [weak, subType, json] {
        auto self = weak.lock();
        if (!self) return;
        auto connection = self->activeConnection_;
        if (!connection || connection->state() != ConnectionState::ready) return;
        self->sendPacket(connection, Packet(PacketType::pktInteractiveTap, subType, bytesOf(json)));
    };
    if (queue().isCurrent())
        send();
    else
        queue().async(send);
}

void ControlServer::sendClipboardToActiveClient(const ClipboardEvent& event) {
    sendToActiveClient(InteractionType::clipboard, event.toJson());
}

void ControlServer::sendActiveWindowToActiveClient(const ActiveWindowInfo& info) {
    sendToActiveClient(InteractionType::activeWindowOnDisplay, info.toJson());
}

// MARK: - Read-outs

std::shared_ptr<Connection> ControlServer::activeConnection() const {
    return onQueue<std::shared_ptr<Connection>>([this] { return activeConnection_; });
}

std::shared_ptr<SpeedTestServer> ControlServer::speedTestServer() const {
    return onQueue<std::shared_ptr<SpeedTestServer>>([this] { return speedTestServer_; });
}

void ControlServer::withSession(const std::function<void(SharingSession& session)>& block) const {
    onQueue<void>([&] { block(*session_); });
}

bool ControlServer::rdpStarted() const {
    return onQueue<bool>([this] { return session_->rdpStarted(); });
}

}  // namespace vl
