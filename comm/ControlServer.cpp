#include "comm/ControlServer.h"

#include "app/SystemInfo.h"
#include "base/Base64.h"
#include "comm/AppShell.h"
#include "comm/DisplayDescriptor.h"
#include "comm/SpeedTestServer.h"
#include "phantomScreen/PhantomScreenInf.h"
#include "phantomScreen/PhantomScreenService.h"

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
    handleRdpStop();  // ends the main session and any extra display alike
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
        case rdpStart: handleRdpStart(connection, packet); break;
        case rdpStop: handleRdpStop(); break;
        case displayStart: handleDisplayStart(connection, packet); break;
        case displayStop: handleDisplayStop(packet); break;
        case rdpVideo: handleRdpVideo(packet); break;
        case moveWindowToVDIfNotOnVD: handleMoveWindowToVDIfNotOnVD(packet); break;
        case jumpToDisplay: handleJumpToDisplay(packet); break;
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
        authorizeVideoClients();
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
    handleRdpStop();  // ends the main session and any extra display alike
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

// MARK: - Sharing sessions

namespace {

constexpr int mainVideoPortOffset = 2;
constexpr int audioPortOffset = 1;
constexpr int micPortOffset = 4;
constexpr int camPortOffset = 5;
constexpr double virtualDisplayTimeout = 5.0;  // seconds
constexpr int extendRetries = 5;
constexpr auto secondWindowMove = std::chrono::milliseconds(350);

std::string resolutionText(Resolution resolution) {
    auto [width, height] = resolution.resolution();
    return std::to_string(width) + "x" + std::to_string(height);
}

std::string channelsText(std::optional<int> channels) {
    return channels ? std::to_string(*channels) : std::string("none");
}

}  // namespace

void ControlServer::setSharingServices(SharingServices services) {
    std::lock_guard lock(mutex_);
    sharingServices_ = std::move(services);
}

bool ControlServer::sessionIsCurrent(std::uint64_t session) const {
    return rdpStarted_ && sessionGeneration_ == session;
}

void ControlServer::handleRdpStart(const std::shared_ptr<Connection>& connection,
                                   const Packet& packet) {
    std::lock_guard lock(mutex_);
    rdpStarted_ = true;
    const std::uint64_t session = ++sessionGeneration_;

    std::optional<std::string> text;
    if (packet.data) text = displayDescriptorText(*packet.data);
    if (!text) {
        SystemInfo::logMsg("handleRdpStart: no readable display descriptor; ignored");
        return;
    }
    SystemInfo::logMsg("****** displayStr: " + *text);
    const bool hdr = descriptorHdr(*text);
    auto size = descriptorSize(*text);
    if (!size) {
        SystemInfo::logMsg("handleRdpStart: the display descriptor names no size; ignored");
        return;
    }
    const Resolution resolution = Resolution::from(size->first, size->second);
    requestedFPS_ = descriptorFrameRate(*text);
    const std::optional<int> channels = audioChannels(resolution);
    SystemInfo::logMsg("handleRdpStart: " + packet.debugDescription() + " clientType: " +
                       resolution.description() + " fps: " + std::to_string(requestedFPS_) +
                       " audioChannels: " + channelsText(channels));
    currentResolution_ = resolutionText(resolution);
    auto app = getApp();
    const std::string client =
        (app ? app->currentConnectedClient() : std::nullopt).value_or("unknown");

    rememberAllDisplays();
    PhantomScreenService::stopService();
    PhantomScreenService::startService(resolution);

    std::weak_ptr<ControlServer> weak = weakSelf();
    DisplayArrangement::waitForPhantomScreen(
        virtualDisplayTimeout, [weak, session, connection, request = packet, resolution, hdr,
                                channels, client](std::optional<DisplayID> display) {
            if (auto self = weak.lock())
                self->virtualDisplayAppeared(session, display, connection, request, resolution, hdr,
                                             channels, client);
        });
}

// On the global queue, once the wait for the session's virtual display is over.
void ControlServer::virtualDisplayAppeared(std::uint64_t session, std::optional<DisplayID> display,
                                           const std::shared_ptr<Connection>& connection,
                                           const Packet& request, Resolution resolution, bool hdr,
                                           std::optional<int> channels, const std::string& client) {
    std::lock_guard lock(mutex_);
    if (!display || *display == nullDisplayID) {
        SystemInfo::logMsg(
            "handleRdpStart: no virtual display came online within 5 seconds; "
            "no answer");
        return;
    }
    // A session stopped (or started again) while it waited must not start its servers now.
    if (!sessionIsCurrent(session)) {
        SystemInfo::logMsg(
            "handleRdpStart: the session ended while its display came online; "
            "nothing started");
        return;
    }
    const DisplayID id = *display;

    std::weak_ptr<ControlServer> weak = weakSelf();
    auto arrangement = sharingServices_.displayArrangement;
    DispatchQueue::main().async([weak, arrangement, id, session, client] {
        if (!arrangement) {
            SystemInfo::logMsg("handleRdpStart: no display arrangement; display " +
                               std::to_string(id) + " stays where it is");
            return;
        }
        arrangement->setDisplayExtended(id, extendRetries, [weak, id, session, client](bool ok) {
            auto self = weak.lock();
            if (!self) return;
            if (!ok) {
                SystemInfo::logMsg("handleRdpStart: virtual display " + std::to_string(id) +
                                   " could not be extended beside the main display");
                return;
            }
            self->showSessionOnDisplay(session, id, client);
        });
    });

    startAudio(channels);
    startVideo();
    startVisionProCam();
    startVisionProMic();
    DispatchQueue::main().async([weak] {
        if (auto self = weak.lock()) self->startClipboardMonitor();
    });

    SharedItem item;
    item.sharedType = SharedType::display(id);
    item.sharedVideoPort = getPort() + mainVideoPortOffset;
    item.sharedAudioPort = getPort() + audioPortOffset;
    item.sharedMicPort = getPort() + micPortOffset;
    item.sharedCamPort = getPort() + camPortOffset;
    auto [width, height] = resolution.resolution();
    item.width = width;
    item.height = height;
    item.fps = 30;  // the record's default, whatever was asked
    item.hdr = hdr;
    item.sharedID = Uuid::random().uuidString();
    sharingItems_[item.sharedID] = item;
    answerWithItem(connection, request, item);
}

// On the main queue, once the virtual display is extended beside the main display.
void ControlServer::showSessionOnDisplay(std::uint64_t session, DisplayID display,
                                         const std::string& client) {
    {
        std::lock_guard lock(mutex_);
        if (!sessionIsCurrent(session)) return;
    }
    setMainDisplay(display);
    moveAllWindowsToDisplay(display);
    std::weak_ptr<ControlServer> weak = weakSelf();
    DispatchQueue::main().asyncAfter(secondWindowMove, [weak, session, display, client] {
        auto self = weak.lock();
        if (!self) return;
        std::optional<std::string> resolution;
        {
            std::lock_guard lock(self->mutex_);
            if (!self->sessionIsCurrent(session)) return;
            resolution = self->currentResolution_;
        }
        // Windows that appeared while the display settled follow too.
        self->moveAllWindowsToDisplay(display);
        if (resolution) self->restoreWindowLayout(client, *resolution);
        self->observeActiveWindowDisplay();
        self->startNewWindowObserver(display);
    });
}

void ControlServer::answerWithItem(const std::shared_ptr<Connection>& connection,
                                   const Packet& request, const SharedItem& item) {
    sendPacket(connection, Packet::answering(request, bytesOf(item.toJson())));
}

void ControlServer::handleRdpStop() {
    std::lock_guard lock(mutex_);
    // An extra display can be shared without the main session; its teardown is this one too.
    const bool holdsAnything = !portServerMap_.empty() || !spCaptures_.empty() ||
                               !sharingItems_.empty() || videoServer_ || extraDisplayMask_ != 0;
    if (!rdpStarted_ && !holdsAnything) return;
    rdpStarted_ = false;
    ++sessionGeneration_;

    auto app = getApp();
    if (auto client = app ? app->currentConnectedClient() : std::nullopt;
        client && currentResolution_)
        saveWindowLayout(*client, *currentResolution_);
    currentResolution_.reset();

    stopClipboardMonitor();
    stopNewWindowObserver();
    stopAudio();
    stopVisionProMic();
    stopVisionProCam();
    stopVideo();

    std::vector<int> ports;
    for (const auto& entry : portServerMap_) ports.push_back(entry.first);
    for (int port : ports) stopDisplay(port);
    extraDisplayMask_ = 0;

    sharingItems_.clear();
    // Captures still starting are stopped too, so none runs after the session.
    for (auto& entry : spCaptures_) entry.second->stopCapture();
    spCaptures_.clear();

    stopConstrainingCursor();
    PhantomScreenService::stopService();
    restoreMainDisplay();
    restoreAllWindows();
}

// MARK: - Extra displays

void ControlServer::handleDisplayStart(const std::shared_ptr<Connection>& connection,
                                       const Packet& packet) {
    std::lock_guard lock(mutex_);
    std::optional<DisplayDescriptor> descriptor;
    if (packet.data) descriptor = decodeDisplayDescriptor(*packet.data);
    if (!descriptor) {
        SystemInfo::logMsg("handleDisplayStart: no readable display size; ignored");
        return;
    }
    const Resolution resolution = Resolution::from(descriptor->width, descriptor->height);
    SystemInfo::logMsg("Parsed vdRes: " + resolution.description() +
                       " fps:" + std::to_string(descriptor->fps) +
                       " portrait:" + text(descriptor->portrait) + " ");

    auto display = PhantomScreenInf::addDisplayEx(resolution, descriptor->portrait);
    if (!display) {
        SystemInfo::logMsg("handleDisplayStart: the virtual display could not be created");
        return;
    }
    PhantomScreenService::appendExtraDisplayID(*display);

    auto port = startDisplay();
    if (!port) {
        SystemInfo::logMsg("handleDisplayStart: all four extra display slots are taken");
        return;
    }

    SharedItem item;
    item.sharedType = SharedType::stLeafDisplay(*display);
    item.sharedVideoPort = *port;
    auto [width, height] = resolution.resolution();
    if (descriptor->portrait) std::swap(width, height);
    item.width = width;
    item.height = height;
    item.fps = descriptor->fps;
    item.hdr = descriptor->hdr;
    item.sharedID = Uuid::random().uuidString();
    sharingItems_[item.sharedID] = item;
    answerWithItem(connection, packet, item);
}

void ControlServer::handleDisplayStop(const Packet& packet) {
    std::lock_guard lock(mutex_);
    std::optional<std::string> shareID;
    if (packet.data) shareID = decodeShareIdentityText(*packet.data);
    if (!shareID) return;

    std::string known;
    for (const auto& entry : sharingItems_) known += (known.empty() ? "" : ", ") + entry.first;
    SystemInfo::logMsg("handleDisplayStop: shareId=" + *shareID + ", known ids=[" + known + "]");

    if (auto capture = spCaptures_.find(*shareID); capture != spCaptures_.end()) {
        capture->second->stopCapture();
        spCaptures_.erase(capture);
    }
    auto found = sharingItems_.find(*shareID);
    if (found == sharingItems_.end()) {
        SystemInfo::logMsg("handleDisplayStop: no shared item for shareId " + *shareID);
        return;
    }
    const SharedItem item = found->second;
    const int port = static_cast<int>(item.sharedVideoPort);
    SystemInfo::logMsg("handleDisplayStop: stopping display server on port " +
                       std::to_string(port));
    stopDisplay(port);
    if (auto slot = monitorIndex(port)) clearMonitorOccupied(*slot);
    if (auto* leaf = std::get_if<SharedType::LeafDisplay>(&item.sharedType.value)) {
        SystemInfo::logMsg("handleDisplayStop: removing virtual display " +
                           std::to_string(leaf->displayID));
        PhantomScreenService::stopPS(leaf->displayID);
    } else {
        SystemInfo::logMsg("handleDisplayStop: shareItem is not a leaf display, type=" +
                           std::string(item.sharedType.description()));
    }
    sharingItems_.erase(*shareID);
}

std::optional<int> ControlServer::startDisplay() {
    std::lock_guard lock(mutex_);
    std::optional<int> slot;
    for (int index = 1; index <= 4 && !slot; ++index)
        if (!(extraDisplayMask_ & (1u << (index - 1)))) slot = index;
    if (!slot) return std::nullopt;
    const int port = *monitorPort(*slot);
    const std::string suffix = std::to_string(port);
    auto server = std::make_shared<VideoServer>(
        static_cast<std::uint16_t>(port),
        std::make_shared<DispatchQueue>("DisplayServerQueue" + suffix), "DisplayServer" + suffix);
    startMediaServer(server);
    portServerMap_[port] = server;
    setMonitorOccupied(*slot);
    return port;
}

void ControlServer::stopDisplay(int port) {
    std::lock_guard lock(mutex_);
    auto found = portServerMap_.find(port);
    if (found == portServerMap_.end()) return;
    if (found->second) found->second->stop();
    portServerMap_.erase(found);
}

// MARK: - Video

void ControlServer::startVideo() {
    std::lock_guard lock(mutex_);
    // A server left from an earlier session would hold the port the new one needs.
    if (videoServer_) videoServer_->stop();
    videoServer_ = std::make_shared<VideoServer>(
        static_cast<std::uint16_t>(getPort() + mainVideoPortOffset),
        std::make_shared<DispatchQueue>("VideoServerQueue"), "VideoServer");
    startMediaServer(videoServer_);
}

void ControlServer::stopVideo() {
    std::lock_guard lock(mutex_);
    if (videoServer_) videoServer_->stop();
    videoServer_.reset();
}

void ControlServer::startMediaServer(const std::shared_ptr<VideoServer>& server) {
    server->setAuthorizedClientAddress(authorizedVideoClient());
    try {
        server->start();
    } catch (const std::exception& error) {
        SystemInfo::logMsg(std::string("Failed to start servers: ") + error.what(),
                           LogLevel::error);
    }
}

std::optional<std::string> ControlServer::authorizedVideoClient() const {
    std::lock_guard lock(mutex_);
    // Only an authenticated connection becomes the active one.
    if (!activeConnection_) return std::nullopt;
    return activeConnection_->remoteAddress();
}

void ControlServer::authorizeVideoClients() {
    std::lock_guard lock(mutex_);
    auto address = authorizedVideoClient();
    if (videoServer_) videoServer_->setAuthorizedClientAddress(address);
    for (auto& entry : portServerMap_)
        if (entry.second) entry.second->setAuthorizedClientAddress(address);
}

void ControlServer::handleRdpVideo(const Packet& packet) {
    if (packet.subType != InteractionType::rdpVideo) return;
    std::optional<std::string> shareID;
    if (packet.data) shareID = decodePlainShareIdentity(*packet.data);
    if (!shareID) {
        SystemInfo::logMsg("handleRdpVideo: no share identity in the request; ignored");
        return;
    }
    std::lock_guard lock(mutex_);
    auto found = sharingItems_.find(*shareID);
    if (found == sharingItems_.end()) {
        SystemInfo::logMsg("handleRdpVideo: failed to find sharedItem for sharedId: " + *shareID);
        return;
    }
    const SharedItem item = found->second;
    const bool leaf = std::holds_alternative<SharedType::LeafDisplay>(item.sharedType.value);
    if (!leaf && !std::holds_alternative<SharedType::Display>(item.sharedType.value)) {
        SystemInfo::logMsg("handleRdpVideo: failed to find displayId for sharedId: " + *shareID);
        return;
    }
    const DisplayID display = *item.sharedType.displayID();
    const int port = static_cast<int>(item.sharedVideoPort);
    std::shared_ptr<VideoServer> server;
    if (port == getPort() + mainVideoPortOffset) {
        server = videoServer_;
    } else if (auto entry = portServerMap_.find(port); entry != portServerMap_.end()) {
        server = entry->second;
    }
    if (!server) {
        SystemInfo::logMsg("handleRdpVideo: no video server for port " + std::to_string(port));
        return;
    }
    auto packetID = Uuid::fromString(*shareID);
    if (!packetID) {
        SystemInfo::logMsg("handleRdpVideo: share identity " + *shareID + " is not a UUID");
        return;
    }
    if (!sharingServices_.capture || !sharingServices_.codec) {
        SystemInfo::logMsg("handleRdpVideo: no capture or codec service; no video");
        return;
    }

    VNSCaptureConfig config;
    config.fps = leaf && item.fps > 0 ? item.fps : requestedFPS_;
    config.bitrateMbps = 0;
    config.maxBitrateMbps = 0;
    config.keyFrameIntervalSeconds = 2.0;
    config.showsCursor = true;
    config.hdrEnabled = item.hdr;

    if (auto previous = spCaptures_.find(*shareID); previous != spCaptures_.end())
        previous->second->stopCapture();
    auto capture = VNSCapture::make(config, {sharingServices_.capture, sharingServices_.codec});
    spCaptures_[*shareID] = capture;

    std::weak_ptr<ControlServer> weak = weakSelf();
    std::weak_ptr<VNSCapture> weakCapture = capture;
    const std::uint64_t session = sessionGeneration_;
    // Runs on the encode queue: it sends, and once asks the main queue to confine the cursor.
    auto firstFrame = std::make_shared<std::atomic<bool>>(true);
    auto handler = [send = server->frameHandler(*packetID), firstFrame, weak, weakCapture,
                    shareID = *shareID, display, session](Bytes accessUnit) {
        send(std::move(accessUnit));
        if (!firstFrame->exchange(false)) return;
        DispatchQueue::main().async([weak, weakCapture, shareID, display, session] {
            auto self = weak.lock();
            if (!self) return;
            {
                std::lock_guard lock(self->mutex_);
                auto current = self->spCaptures_.find(shareID);
                if (self->sessionGeneration_ != session || current == self->spCaptures_.end() ||
                    current->second != weakCapture.lock())
                    return;
            }
            self->startConstrainingCursor(display);
        });
    };
    capture->startCapture(
        display, std::move(handler),
        [weak, weakCapture, shareID = *shareID](std::optional<VNSCaptureError> error) {
            if (!error) return;
            SystemInfo::logMsg("handleRdpVideo: startCapture failed: " + error->description());
            DispatchQueue::main().async([weak, weakCapture, shareID] {
                auto self = weak.lock();
                if (!self) return;
                bool noneLeft;
                {
                    std::lock_guard lock(self->mutex_);
                    auto current = self->spCaptures_.find(shareID);
                    // A newer capture of the same item is not this one's to remove.
                    if (current != self->spCaptures_.end() && current->second == weakCapture.lock())
                        self->spCaptures_.erase(current);
                    noneLeft = self->spCaptures_.empty();
                }
                if (noneLeft) self->stopConstrainingCursor();
            });
        });
}

void ControlServer::handleMoveWindowToVDIfNotOnVD(const Packet&) {
    {
        std::lock_guard lock(mutex_);
        if (!rdpStarted_) return;
    }
    auto display = PhantomScreenInf::findPS();
    if (!display || *display == nullDisplayID) return;
    std::weak_ptr<ControlServer> weak = weakSelf();
    DispatchQueue::main().async([weak, id = *display] {
        auto self = weak.lock();
        if (!self) return;
        const int moved = self->moveWindowsToVDIfNotOnVD(id);
        SystemInfo::logMsg("handleMoveWindowToVDIfNotOnVD: relocated " + std::to_string(moved) +
                           " window(s) to VD " + std::to_string(id));
    });
}

void ControlServer::handleJumpToDisplay(const Packet& packet) {
    std::optional<JumpToDisplayInfo> info;
    if (packet.data) info = JumpToDisplayInfo::fromJson(*packet.data);
    if (!info) {
        SystemInfo::logMsg("handleJumpToDisplay: undecodable request; ignored");
        return;
    }
    std::optional<DisplayID> display;
    {
        std::lock_guard lock(mutex_);
        if (auto found = sharingItems_.find(info->shareId); found != sharingItems_.end()) {
            const auto& type = found->second.sharedType.value;
            if (std::holds_alternative<SharedType::Display>(type) ||
                std::holds_alternative<SharedType::LeafDisplay>(type))
                display = found->second.sharedType.displayID();
        }
    }
    if (!display) {
        SystemInfo::logMsg("handleJumpToDisplay: unknown shared item id " + info->shareId);
        return;
    }
    std::weak_ptr<ControlServer> weak = weakSelf();
    DispatchQueue::main().async([weak, id = *display] {
        auto self = weak.lock();
        if (!self) return;
        const bool moved = self->moveActiveWindowToDisplay(id, false);
        SystemInfo::logMsg("handleJumpToDisplay: moved active window to display " +
                           std::to_string(id) + ": " + text(moved));
    });
}

void ControlServer::handleActiveWindowDisplayChanged(DisplayID display) {
    std::optional<std::string> shareID;
    {
        std::lock_guard lock(mutex_);
        if (!rdpStarted_) return;
        for (const auto& [id, item] : sharingItems_) {
            const bool isDisplay =
                std::holds_alternative<SharedType::Display>(item.sharedType.value) ||
                std::holds_alternative<SharedType::LeafDisplay>(item.sharedType.value);
            if (isDisplay && item.sharedType.displayID() == display) {
                shareID = id;
                break;
            }
        }
    }
    if (!shareID) {
        SystemInfo::logMsg("handleActiveWindowDisplayChanged: no shared item for display " +
                           std::to_string(display));
        return;
    }
    sendActiveWindowToActiveClient(ActiveWindowInfo{*shareID});
}

// MARK: - Session read-outs

std::optional<std::string> ControlServer::currentResolution() const {
    std::lock_guard lock(mutex_);
    return currentResolution_;
}

int ControlServer::requestedFPS() const {
    std::lock_guard lock(mutex_);
    return requestedFPS_;
}

std::map<std::string, SharedItem> ControlServer::sharingItems() const {
    std::lock_guard lock(mutex_);
    return sharingItems_;
}

std::shared_ptr<VNSCapture> ControlServer::capture(const std::string& sharedID) const {
    std::lock_guard lock(mutex_);
    auto found = spCaptures_.find(sharedID);
    return found == spCaptures_.end() ? nullptr : found->second;
}

std::size_t ControlServer::captureCount() const {
    std::lock_guard lock(mutex_);
    return spCaptures_.size();
}

std::shared_ptr<VideoServer> ControlServer::videoServer() const {
    std::lock_guard lock(mutex_);
    return videoServer_;
}

std::shared_ptr<VideoServer> ControlServer::displayServer(int port) const {
    std::lock_guard lock(mutex_);
    auto found = portServerMap_.find(port);
    return found == portServerMap_.end() ? nullptr : found->second;
}

}  // namespace vl
