#include "comm/MicServer.h"

#include "Capture/ZuAudio.h"
#include "base/Log.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace vl {

namespace {

constexpr double sampleRate = 48000.0;
constexpr std::uint64_t reportCadence = 100;

}  // namespace

std::shared_ptr<MicServer> MicServer::make(std::uint16_t port, std::shared_ptr<DispatchQueue> queue,
                                           std::string name, TlsIdentitySource identity,
                                           std::shared_ptr<ClientGate> gate,
                                           std::shared_ptr<AudioHardware> audio,
                                           DispatchQueue& callbackQueue, Device device) {
    std::shared_ptr<MicServer> server(new MicServer(port, std::move(queue), std::move(name),
                                                    std::move(identity), std::move(gate),
                                                    std::move(audio), callbackQueue));
    server->wire();
    if (device == Device::connectNow) server->connectDevice();
    return server;
}

MicServer::MicServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue, std::string name,
                     TlsIdentitySource identity, std::shared_ptr<ClientGate> gate,
                     std::shared_ptr<AudioHardware> audio, DispatchQueue& callbackQueue)
    : MediaServer(port, std::move(queue), std::move(name), std::move(identity), std::move(gate)),
      decoder_(std::make_unique<ZuAudioDecoder>()),
      audio_(std::move(audio)),
      dropper_(MicDropper::make(audio_, callbackQueue)) {}

MicServer::~MicServer() {
    if (dropper_) dropper_->stopControlListener();
}

void MicServer::connectDevice() {
    try {
        dropper_->setup();
    } catch (const MicDropperError& error) {
        logMsg(std::string("Failed to start mic dropper: ") + error.what(), LogLevel::warning);
    }
    dropper_->startControlListener();
}

void MicServer::wire() {
    std::weak_ptr<MicServer> weak = std::static_pointer_cast<MicServer>(shared_from_this());
    dropper_->onIOStart = [weak] {
        if (auto self = weak.lock()) self->onIOStart();
    };
    dropper_->onIOStop = [weak] {
        if (auto self = weak.lock()) self->onIOStop();
    };

    decoder_->onPCMDecoded = [weak](const ZuAudioBuffer& buffer) {
        auto self = weak.lock();
        if (!self || buffer.channelCount < 2) return;
        const std::uint32_t frames = buffer.availableFrames();
        std::vector<float> interleaved(std::size_t(frames) * 2);
        if (buffer.interleaved) {
            for (std::uint32_t i = 0; i < frames; ++i) {
                interleaved[2 * i] = buffer.samples[std::size_t(i) * buffer.channelCount];
                interleaved[2 * i + 1] = buffer.samples[std::size_t(i) * buffer.channelCount + 1];
            }
        } else {
            const float* left = buffer.channelData(0);
            const float* right = buffer.channelData(1);
            for (std::uint32_t i = 0; i < frames; ++i) {
                interleaved[2 * i] = left[i];
                interleaved[2 * i + 1] = right[i];
            }
        }
        self->dropper_->send(interleaved);
    };
}

void MicServer::start() {
    stopRequested_ = false;
    decoder_->start();
    try {
        MediaServer::start();
    } catch (const NetworkException& error) {
        logMsg("❌ MicServer: failed to start on port " + std::to_string(getPort()) + ": " +
                   error.what(),
               LogLevel::error);
        throw;
    }
    logMsg("✅ MicServer: started and listening on port " + portText());
}

void MicServer::stop() {
    logMsg("MicServer: stopping on port " + portText());
    stopRequested_ = true;
    decoder_->stop();
    MediaServer::stop();
}

std::size_t MicServer::bufferedBytes() const {
    std::lock_guard lock(rxMutex_);
    return rxBuffer_.size();
}

void MicServer::connectionAdmitted(const std::shared_ptr<Connection>&) {
    // A new client starts a new stream.
    std::lock_guard lock(rxMutex_);
    rxBuffer_.clear();
}

void MicServer::reportConnection(ConnectionEvent event, const Connection& connection,
                                 const std::optional<NetworkError>& error) {
    const std::string port = portText();
    switch (event) {
        case ConnectionEvent::incoming:
            logMsg("MicServer: incoming connection on port " + port + " from " +
                   connection.remoteAddress() + " — starting handshake");
            break;
        case ConnectionEvent::setup:
            logMsg("MicServer: connection state .setup on port " + port);
            break;
        case ConnectionEvent::preparing:
            logMsg("MicServer: connection state .preparing on port " + port);
            break;
        case ConnectionEvent::waiting:
            logMsg("MicServer: connection state .waiting on port " + port + ": " +
                   errorText(error));
            break;
        case ConnectionEvent::ready:
            logMsg("✅ MicServer: connection READY on port " + port + " — activeConnection set");
            break;
        case ConnectionEvent::failed:
            logMsg("❌ MicServer: connection FAILED on port " + port + ": " + errorText(error),
                   LogLevel::warning);
            break;
        case ConnectionEvent::cancelled:
            logMsg("MicServer: connection CANCELLED on port " + port);
            break;
        case ConnectionEvent::refused:
            logMsg("🟨 MicServer: refused [" + connection.description() +
                       "], not the connected client's address",
                   LogLevel::warning);
            break;
        case ConnectionEvent::dropped:
            logMsg("🟨 MicServer: dropping [" + connection.description() +
                       "], not the connected client's address",
                   LogLevel::warning);
            break;
    }
}

void MicServer::receivePacket(const std::shared_ptr<Connection>& connection) {
    std::weak_ptr<MicServer> weak = std::static_pointer_cast<MicServer>(shared_from_this());
    std::weak_ptr<Connection> weakConnection = connection;
    connection->receive(
        1, 4096,
        [weak, weakConnection](std::optional<Bytes> data, bool isComplete,
                               std::optional<NetworkError> error) {
            auto self = weak.lock();
            auto connection = weakConnection.lock();
            if (!self || !connection) return;
            const std::string port = self->portText();
            if (data && !data->empty()) {
                // Only the active client's stream is audio; a replaced one ends.
                if (self->activeConnection() != connection) return;
                self->received(*data);
            }
            if (error) {
                logMsg("Mic receive failed on port " + port + " " + error->description(),
                       LogLevel::warning);
                return;
            }
            if (isComplete) {
                logMsg("Mic connection stream complete on port " + port);
                return;
            }
            self->receivePacket(connection);
        });
}

void MicServer::received(ByteView data) {
    std::lock_guard lock(rxMutex_);
    rxBuffer_.insert(rxBuffer_.end(), data.begin(), data.end());
    drainPackets();
}

void MicServer::drainPackets() {
    std::size_t offset = 0;
    while (rxBuffer_.size() - offset >= Packet::headerSize) {
        const std::uint8_t* header = rxBuffer_.data() + offset;
        const std::uint32_t length = readBigEndian32(header + 18);
        if (length > maxPacketLength) {
            logMsg("Mic stream desync: implausible packet length " + std::to_string(length) +
                       "; resetting buffer",
                   LogLevel::warning);
            rxBuffer_.clear();
            return;
        }
        const std::size_t frame = Packet::headerSize + length;
        if (rxBuffer_.size() - offset < frame) break;
        auto packet = Packet::decode(ByteView(rxBuffer_).subspan(offset, frame));
        offset += frame;
        if (!packet) {
            logMsg("🟥 MicServer: a packet did not decode; skipped", LogLevel::warning);
            continue;
        }
        if (packet->type != PacketType::pktAudioStreamData) continue;
        if (packet->data && !packet->data->empty() && decoder_) {
            noteArrival();
            decoder_->handleAudioPacket(*packet->data);
        }
    }
    rxBuffer_.erase(rxBuffer_.begin(), rxBuffer_.begin() + static_cast<std::ptrdiff_t>(offset));
}

void MicServer::noteArrival() {
    // Audio that arrives faster than it plays piles up in the microphone, which keeps only the
    // newest second; say so, at a cadence.
    const auto now = std::chrono::steady_clock::now();
    if (lastArrival_ != std::chrono::steady_clock::time_point{}) {
        const double played =
            std::chrono::duration<double>(now - lastArrival_).count() * sampleRate;
        leadFrames_ = std::max(0.0, leadFrames_ - played);
    }
    lastArrival_ = now;
    leadFrames_ += decoder_->framesPerPacket;
    if (leadFrames_ > sampleRate) {
        ++aheadReports_;
        if (aheadReports_ == 1 || aheadReports_ % reportCadence == 0)
            logMsg(
                "🟨 MicServer: the client sends faster than real time; the microphone keeps "
                "the newest second (" +
                    std::to_string(aheadReports_) + " packets ahead so far)",
                LogLevel::warning);
    }
}

void MicServer::onIOStart() {
    auto connection = activeConnection();
    logMsg(std::string("MicServer: onIOStart fired (activeConnection=") +
           (connection ? "yes" : "nil") + ")");
    if (!connection) return;
    ZuAudio(audio_).warmupMic();
    logMsg("MicServer: sending micStart packet on port " + portText());
    sendPacket(connection, Packet(PacketType::pktInteractiveTap, InteractionType::micStart));
}

void MicServer::onIOStop() {
    auto connection = activeConnection();
    logMsg(std::string("MicServer: onIOStop fired (activeConnection=") +
           (connection ? "yes" : "nil") + ")");
    if (!connection) return;
    logMsg("MicServer: sending micStop packet on port " + portText());
    sendPacket(connection, Packet(PacketType::pktInteractiveTap, InteractionType::micStop));
    ZuAudio(audio_).cooldownMic();
}

void MicServer::sendPacket(const std::shared_ptr<Connection>& connection, const Packet& packet) {
    Bytes bytes = packet.encode();
    const std::size_t size = bytes.size();
    const std::string subType(description(packet.subType));
    connection->send(std::move(bytes), true, [subType, size](std::optional<NetworkError> error) {
        if (error)
            logMsg("MicServer: send failed for subType " + subType + " " + error->description(),
                   LogLevel::warning);
        else
            logMsg("MicServer: packet sent (subType=" + subType + ", " + std::to_string(size) +
                   " bytes)");
    });
}

}  // namespace vl
