#include "comm/VideoServer.h"

#include "base/FrameTrace.h"
#include "base/Log.h"

#include <utility>

namespace vl {

namespace {

// High-rate reports: the first occurrence, then every 120th.
constexpr std::size_t reportCadence = 120;

std::string errorText(const std::optional<NetworkError>& error) {
    return error ? error->description() : std::string("unknown");
}

}  // namespace

bool isKeyFrameAccessUnit(ByteView accessUnit) {
    // 00 00 00 01, then a NAL header whose type (bits 1..6 of the first byte) is 32, the VPS.
    return accessUnit.size() >= 6 && accessUnit[0] == 0 && accessUnit[1] == 0 &&
           accessUnit[2] == 0 && accessUnit[3] == 1 && ((accessUnit[4] >> 1) & 0x3f) == 32;
}

VideoServer::VideoServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue, std::string name,
                         TlsIdentitySource identity, std::shared_ptr<ClientGate> gate)
    : MediaServer(port, std::move(queue), std::move(name), std::move(identity), std::move(gate)) {}

void VideoServer::clientGateChanged() {
    std::shared_ptr<Connection> refused;
    {
        std::lock_guard lock(mutex_);
        // A receiver registered before the client became known must come from it too.
        if (clientConnection_ && !mayRegister(*clientConnection_))
            refused = std::exchange(clientConnection_, nullptr);
    }
    if (refused) {
        report("🟨 " + serverName() + ": dropping video receiver [" + refused->description() +
               "], not the connected client's address");
        refused->cancel();
    }
}

std::shared_ptr<Connection> VideoServer::clientConnection() const {
    std::lock_guard lock(mutex_);
    return clientConnection_;
}

void VideoServer::handleConnection(const std::shared_ptr<Connection>& connection) {
    auto self = std::static_pointer_cast<VideoServer>(shared_from_this());
    connection->setStateUpdateHandler(
        [self, connection](ConnectionState state, std::optional<NetworkError> error) {
            self->onConnectionState(connection, state, error);
        });
    connection->start(DispatchQueue::global());
}

void VideoServer::onConnectionState(const std::shared_ptr<Connection>& connection,
                                    ConnectionState state,
                                    const std::optional<NetworkError>& error) {
    const std::string port = std::to_string(boundPort());
    switch (state) {
        case ConnectionState::ready:
            report("Custom server: Connection is ready on port " + port);
            receivePacket(connection);
            break;
        case ConnectionState::cancelled:
            report("Custom server: Connection cancelled on port " + port);
            forgetClient(connection);
            // The handler holds the connection; let both go once it has ended.
            connection->setStateUpdateHandler(nullptr);
            break;
        case ConnectionState::failed:
            report("Custom server: Connection failed on port " + port +
                   " with error: " + errorText(error));
            forgetClient(connection);
            connection->setStateUpdateHandler(nullptr);
            break;
        default:
            break;
    }
}

void VideoServer::receivePacket(const std::shared_ptr<Connection>& connection) {
    std::weak_ptr<VideoServer> weak = std::static_pointer_cast<VideoServer>(shared_from_this());
    connection->receive(
        1, 4096,
        [weak, connection](std::optional<Bytes> data, bool, std::optional<NetworkError> error) {
            if (error) {
                logMsg("❌Receive failed: " + error->description());
                return;
            }
            if (!data || data->empty()) return;
            auto packet = Packet::decode(*data);
            if (!packet) {
                logMsg("🟨 Video port: first packet from [" + connection->description() +
                       "] does not decode (" + std::to_string(data->size()) +
                       " bytes); no video for it");
                return;
            }
            logMsg("🚩 Received packet: " + packet->debugDescription());
            if (packet->type != PacketType::pktVideoStreamData) return;
            if (auto self = weak.lock()) self->registerClient(connection);
            // No further receive: the video connection carries nothing else from the client.
        });
}

void VideoServer::registerClient(const std::shared_ptr<Connection>& connection) {
    followGate();
    bool allowed;
    {
        std::lock_guard lock(mutex_);
        allowed = mayRegister(*connection);
        if (allowed) {
            clientConnection_ = connection;
            // What it receives next may depend on pictures it never had.
            keyFrameWanted_ = true;
        }
    }
    if (allowed) {
        report(serverName() + ": video receiver registered [" + connection->description() + "]");
    } else {
        report("🟨 " + serverName() + ": refused video receiver [" + connection->description() +
               "], not the connected client's address");
        connection->cancel();
    }
}

void VideoServer::forgetClient(const std::shared_ptr<Connection>& connection) {
    std::lock_guard lock(mutex_);
    if (clientConnection_ == connection) clientConnection_.reset();
}

void VideoServer::reportDrop(const std::string& why) {
    std::size_t count;
    {
        std::lock_guard lock(mutex_);
        count = ++droppedFrames_;
    }
    if (count == 1 || count % reportCadence == 0)
        report(serverName() + ": frame dropped, " + why + " (" + std::to_string(count) +
               " dropped so far)");
}

void VideoServer::sendVideoPacket(const Packet& packet) {
    std::shared_ptr<Connection> connection;
    bool overflow = false;
    {
        std::lock_guard lock(mutex_);
        connection = clientConnection_;
        if (connection) {
            // A client that does not read would make the transport queue grow without bound;
            // drop instead and resume at a key frame, which the client can decode from.
            const std::size_t limit = backlogLimit_;
            const bool key = packet.data && isKeyFrameAccessUnit(*packet.data);
            if (backlog_ > limit) awaitingKeyFrame_ = true;
            if (awaitingKeyFrame_) {
                if (backlog_ <= limit / 2 && key) {
                    awaitingKeyFrame_ = false;
                } else {
                    overflow = true;
                    // Room again: the capture is asked for the key picture to resume with.
                    if (backlog_ <= limit / 2) keyFrameWanted_ = true;
                }
            }
            if (key && !overflow) keyFrameWanted_ = false;
        }
    }
    if (!connection) {
        reportDrop("no video client registered");
        return;
    }
    if (overflow) {
        reportDrop("the client is not keeping up");
        return;
    }
    Bytes bytes = packet.encode();
    const std::size_t size = bytes.size();
    backlog_ += size;
    std::weak_ptr<VideoServer> weak = std::static_pointer_cast<VideoServer>(shared_from_this());
    connection->send(std::move(bytes), true, [weak, size](std::optional<NetworkError> error) {
        auto self = weak.lock();
        if (!self) return;
        self->backlog_ -= size;
        if (error) self->report("Send failed: " + error->description());
    });
    FrameTrace::mark(FrameStage::sent, FrameTrace::current());
}

bool VideoServer::takeKeyFrameRequest() {
    std::lock_guard lock(mutex_);
    return std::exchange(keyFrameWanted_, false);
}

std::function<void(Bytes)> VideoServer::frameHandler(const Uuid& sharedID,
                                                     std::function<void()> requestKeyFrame) {
    std::weak_ptr<VideoServer> weak = std::static_pointer_cast<VideoServer>(shared_from_this());
    return [weak, sharedID, requestKeyFrame = std::move(requestKeyFrame)](Bytes accessUnit) {
        auto self = weak.lock();
        if (!self) return;
        self->sendVideoPacket(Packet(sharedID, PacketType::pktVideoStreamData,
                                     InteractionType::rdpVideo, std::move(accessUnit)));
        if (requestKeyFrame && self->takeKeyFrameRequest()) requestKeyFrame();
    };
}

}  // namespace vl
