#include "comm/CamServer.h"

#include "base/Log.h"

#include <utility>

namespace vl {

namespace {

// High-rate reports: the first, then every 60th (frames) or 120th (property writes).
bool paced(std::int64_t count, std::int64_t cadence) {
    return count == 1 || count % cadence == 0;
}

std::uint32_t lengthField(const std::uint8_t* header) {
    return std::uint32_t{header[18]} << 24 | std::uint32_t{header[19]} << 16 |
           std::uint32_t{header[20]} << 8 | std::uint32_t{header[21]};
}

std::string subTypeText(InteractionType subType) {
    return "." + std::string(description(subType));
}
std::string typeText(PacketType type) {
    return "." + std::string(description(type));
}

}  // namespace

bool CamServer::ReceiveBuffer::append(ByteView bytes, const std::function<void(Packet&&)>& packet,
                                      std::uint32_t* desyncLength) {
    if (consumed_ > 0 && consumed_ == bytes_.size()) {
        bytes_.clear();
        consumed_ = 0;
    }
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    while (size() >= Packet::headerSize) {
        const std::uint8_t* head = bytes_.data() + consumed_;
        const std::uint32_t length = lengthField(head);
        if (length > maxPacketLength) {
            if (desyncLength) *desyncLength = length;
            bytes_.clear();
            bytes_.shrink_to_fit();
            consumed_ = 0;
            return false;
        }
        if (size() < Packet::headerSize + length) break;
        auto decoded = Packet::decode(ByteView(head, Packet::headerSize + length));
        consumed_ += Packet::headerSize + length;
        if (decoded) packet(std::move(*decoded));
    }
    // What was handed out is dropped once it is most of the buffer, so the buffer stays small.
    if (consumed_ > 0 && consumed_ * 2 >= bytes_.size()) {
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(consumed_));
        consumed_ = 0;
    }
    return true;
}

std::shared_ptr<CamServer> CamServer::make(std::uint16_t port, std::shared_ptr<DispatchQueue> queue,
                                           std::string name, TlsIdentitySource identity,
                                           std::shared_ptr<ClientGate> gate, Services services) {
    std::shared_ptr<CamServer> server(new CamServer(port, std::move(queue), std::move(name),
                                                    std::move(identity), std::move(gate),
                                                    std::move(services)));
    std::weak_ptr<CamServer> weak = server;
    server->formatObserver_ = std::make_unique<PersonaFormatObserver>(
        server->services_.notify, PersonaFormatObserver::cameraNames(),
        [weak](int width, int height) {
            if (auto self = weak.lock()) self->formatChanged(width, height);
        });
    server->formatObserver_->start();
    return server;
}

CamServer::CamServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue, std::string name,
                     TlsIdentitySource identity, std::shared_ptr<ClientGate> gate,
                     Services services)
    : MediaServer(port, std::move(queue), std::move(name), std::move(identity), std::move(gate)),
      services_(std::move(services)) {}

CamServer::~CamServer() {
    if (formatObserver_) formatObserver_->stop();
}

void CamServer::stop() {
    stopRequested_ = true;
    if (formatObserver_) formatObserver_->stop();
    MediaServer::stop();
    releaseActiveConnection(true);
}

CamServer::Counters CamServer::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

// MARK: - Connections

void CamServer::reportConnection(ConnectionEvent event, const Connection& connection,
                                 const std::optional<NetworkError>& error) {
    const std::string port = portText();
    switch (event) {
        case ConnectionEvent::incoming:
            logMsg("CamServer: incoming connection on port " + port + " — starting handshake");
            break;
        case ConnectionEvent::setup:
            logMsg("CamServer: connection state .setup on port " + port);
            break;
        case ConnectionEvent::preparing:
            logMsg("CamServer: connection state .preparing on port " + port);
            break;
        case ConnectionEvent::waiting:
            logMsg("CamServer: connection state .waiting on port " + port);
            break;
        case ConnectionEvent::ready:
            logMsg("✅ CamServer: connection READY on port " + port + " — activeConnection set");
            break;
        case ConnectionEvent::failed:
            logMsg("❌ CamServer: connection FAILED on port " + port + " " +
                   (error ? error->description() : std::string("unknown error")));
            break;
        case ConnectionEvent::cancelled:
            logMsg("CamServer: connection CANCELLED on port " + port);
            break;
        case ConnectionEvent::refused:
            logMsg("🟨 CamServer: refused camera connection [" + connection.description() +
                   "] on port " + port + ", not the connected client's address");
            break;
        case ConnectionEvent::dropped:
            logMsg("🟨 CamServer: dropping camera connection [" + connection.description() +
                   "], not the connected client's address");
            break;
    }
}

void CamServer::receivePacket(const std::shared_ptr<Connection>& connection) {
    receiveLoop(connection, std::make_shared<ReceiveBuffer>());
}

void CamServer::receiveLoop(const std::shared_ptr<Connection>& connection,
                            std::shared_ptr<ReceiveBuffer> buffer) {
    std::weak_ptr<CamServer> weak = std::static_pointer_cast<CamServer>(shared_from_this());
    connection->receive(
        1, 4096,
        [weak, connection, buffer](std::optional<Bytes> data, bool isComplete,
                                   std::optional<NetworkError> error) {
            auto self = weak.lock();
            if (!self) return;
            if (data && !data->empty()) self->received(*buffer, *data);
            if (error) {
                logMsg("Cam receive failed on port " + self->portText() + " " +
                       error->description());
                return;
            }
            if (isComplete) {
                logMsg("Cam connection stream complete on port " + self->portText());
                return;
            }
            self->receiveLoop(connection, buffer);
        });
}

void CamServer::received(ReceiveBuffer& buffer, ByteView bytes) {
    bool first;
    {
        std::lock_guard lock(mutex_);
        first = counters_.rxByteTotal == 0;
        counters_.rxByteTotal += static_cast<std::int64_t>(bytes.size());
    }
    if (first) logMsg("📥 CamServer: FIRST data received on port " + portText());
    std::uint32_t length = 0;
    if (!buffer.append(
            bytes, [this](Packet&& packet) { handlePacket(std::move(packet)); }, &length))
        logMsg("Cam stream desync: implausible packet length " + std::to_string(length) +
                   "; resetting buffer",
               LogLevel::warning);
}

void CamServer::handlePacket(Packet&& packet) {
    if (packet.type == PacketType::pktVideoStreamData &&
        packet.subType == InteractionType::rdpVideo) {
        std::int64_t count;
        {
            std::lock_guard lock(mutex_);
            count = ++counters_.videoPacketCount;
        }
        const std::size_t size = packet.data ? packet.data->size() : 0;
        if (paced(count, 60))
            logMsg("🎞️ CamServer: video packet #" + std::to_string(count) + " → extension (" +
                   std::to_string(size) + " bytes)");
        // An empty one is how a client opens its camera connection: nothing to show.
        if (size > 0) forwardEncoded(*packet.data);
        return;
    }
    std::int64_t count;
    {
        std::lock_guard lock(mutex_);
        count = ++counters_.ignoredPacketCount;
    }
    if (paced(count, 60))
        logMsg("⚠️ CamServer: ignored packet #" + std::to_string(count) +
               " (type=" + typeText(packet.type) + ", subType=" + subTypeText(packet.subType) +
               ") — expected type=.pktVideoStreamData subType=.rdpVideo");
}

// MARK: - Frames into the camera device

void CamServer::forwardEncoded(ByteView data) {
    if (!camDevice_) {
        camDevice_ = cmioDevice(camDeviceUID);
        if (camDevice_)
            logMsg("✅ CamServer: resolved camDevice " + std::to_string(*camDevice_) + " for UID " +
                   camDeviceUID);
        if (camDevice_ && std::exchange(camDeviceLost_, false)) {
            logMsg("🟪 CamServer: the camera device is back; showing it again");
            services_.notify->post(showDeviceName);
        }
    }
    if (!camDevice_) {
        std::int64_t count;
        {
            std::lock_guard lock(mutex_);
            count = ++counters_.resolveFailureCount;
        }
        if (paced(count, 60))
            logMsg("❌ CamServer: no camDevice for UID " + std::string(camDeviceUID) +
                   " — cannot forward frame #" + std::to_string(count));
        return;
    }
    pushEncoded(data, *camDevice_);
    std::int64_t count;
    {
        std::lock_guard lock(mutex_);
        count = ++counters_.pushedFrameCount;
    }
    if (paced(count, 60))
        logMsg("📤 CamServer: forwarded encoded AU #" + std::to_string(count) + " (" +
               std::to_string(data.size()) + " bytes) to device " + std::to_string(*camDevice_));
}

void CamServer::pushEncoded(ByteView data, CameraDeviceID device) {
    const CameraStatus status = services_.devices->setEncodedFrame(device, data);
    if (status == CameraStatus::unreachable || status == CameraStatus::writeFailed) {
        // The next frame looks the device up again.
        camDevice_.reset();
        camDeviceLost_ = true;
    }
    std::int64_t writes;
    {
        std::lock_guard lock(mutex_);
        writes = ++counters_.pushStatusLogCount;
    }
    const std::string statusText = std::to_string(static_cast<std::int32_t>(status));
    if (status != CameraStatus::noErr || writes == 1) {
        const bool has = services_.devices->hasEncodedFrameProperty(device);
        const auto settable = services_.devices->isEncodedFrameSettable(device);
        logMsg("CamServer: pushEncoded set status=" + statusText + " hasProperty=" +
               (has ? "true" : "false") + " settable=" + (settable.settable ? "true" : "false") +
               "(st=" + std::to_string(static_cast<std::int32_t>(settable.status)) +
               ") bytes=" + std::to_string(data.size()) +
               (status != CameraStatus::noErr ? std::string(" (") + description(status) + ")"
                                              : std::string()));
    } else if (writes % 120 == 0) {
        logMsg("CamServer: pushEncoded set status=" + statusText +
               " bytes=" + std::to_string(data.size()));
    }
}

std::optional<CameraDeviceID> CamServer::cmioDevice(const std::string& uid) {
    return services_.devices->deviceWithUID(uid);
}

// MARK: - Format changes to the client

void CamServer::formatChanged(int width, int height) {
    const bool stopping = width == 0 && height == 0;
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    auto connection = activeConnection();
    if (!connection) {
        logMsg("⚠️ CamServer: format change (" + (stopping ? std::string("stop") : size) +
               ") but NO active client connection — cannot send start/stop. No client has "
               "connected to port " +
               portText());
        return;
    }
    if (stopping) {
        sendPacket(connection, Packet(PacketType::pktInteractiveTap, InteractionType::camStop));
        logMsg("CamServer: camera stopped; asked the client to stop the camera");
        return;
    }
    logMsg("CamServer: camera resolution " + size);
    sendPacket(connection,
               Packet(PacketType::pktInteractiveTap, InteractionType::camStart, bytesOf(size)));
    logMsg("Format changed: start the camera with " + size);
}

void CamServer::sendPacket(const std::shared_ptr<Connection>& connection, const Packet& packet) {
    const std::string subType = subTypeText(packet.subType);
    connection->send(packet.encode(), true, [subType](std::optional<NetworkError> error) {
        if (error)
            logMsg("CamServer: send failed for subType " + subType + ": " + error->description());
        else
            logMsg("CamServer: packet sent (subType=" + subType + ")");
    });
}

}  // namespace vl
