#include "comm/VideoServer.h"

#include "base/FrameTrace.h"
#include "base/Log.h"

#include <utility>

namespace vl {

namespace {

// High-rate reports: the first occurrence, then every 120th.
constexpr std::size_t reportCadence = 120;

}  // namespace

bool isKeyFrameAccessUnit(ByteView accessUnit) {
    // 00 00 00 01, then a NAL header whose type (bits 1..6 of the first byte) is 32, the VPS.
    return accessUnit.size() >= 6 && accessUnit[0] == 0 && accessUnit[1] == 0 &&
           accessUnit[2] == 0 && accessUnit[3] == 1 && ((accessUnit[4] >> 1) & 0x3f) == 32;
}

VideoServer::VideoServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue, std::string name,
                         TlsIdentitySource identity, std::shared_ptr<ClientGate> gate)
    : MediaServer(port, std::move(queue), std::move(name), std::move(identity), std::move(gate),
                  Admission::whenIdentified) {}

void VideoServer::reportConnection(ConnectionEvent event, const Connection& connection,
                                   const std::optional<NetworkError>& error) {
    switch (event) {
        case ConnectionEvent::refused:
            report("🟨 " + serverName() + ": refused video receiver [" +
                   connection.description() + "], not the connected client's address");
            break;
        case ConnectionEvent::dropped:
            report("🟨 " + serverName() + ": dropping video receiver [" +
                   connection.description() + "], not the connected client's address");
            break;
        default:
            MediaServer::reportConnection(event, connection, error);
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
    if (!admit(connection)) return;
    {
        // What it receives next may depend on pictures it never had.
        std::lock_guard lock(mutex_);
        keyFrameWanted_ = true;
    }
    report(serverName() + ": video receiver registered [" + connection->description() + "]");
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
    const std::shared_ptr<Connection> connection = activeConnection();
    bool overflow = false;
    {
        std::lock_guard lock(mutex_);
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
