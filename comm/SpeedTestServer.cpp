#include "comm/SpeedTestServer.h"

#include "base/Log.h"

#include <sys/random.h>

#include <random>

namespace vl {

SpeedTestServer::SpeedTestServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue,
                                 std::string name, TlsIdentitySource identity,
                                 std::shared_ptr<ClientGate> gate)
    : MediaServer(port, std::move(queue), std::move(name), std::move(identity), std::move(gate)) {}

std::weak_ptr<SpeedTestServer> SpeedTestServer::weakSelf() {
    return std::static_pointer_cast<SpeedTestServer>(shared_from_this());
}

const Bytes& SpeedTestServer::speedTestChunk() {
    std::call_once(chunkOnce_, [this] {
        chunk_.resize(static_cast<std::size_t>(chunkSize));
        std::size_t filled = 0;
        while (filled < chunk_.size()) {
            ssize_t n = ::getrandom(chunk_.data() + filled, chunk_.size() - filled, 0);
            if (n <= 0) break;
            filled += static_cast<std::size_t>(n);
        }
        if (filled < chunk_.size()) {
            std::mt19937 generator{std::random_device{}()};
            for (auto& byte : chunk_) byte = static_cast<std::uint8_t>(generator());
        }
    });
    return chunk_;
}

void SpeedTestServer::reportConnection(ConnectionEvent event, const Connection& connection,
                                       const std::optional<NetworkError>& error) {
    if (event == ConnectionEvent::refused)
        logMsg("🟨 " + serverName() + ": refused [" + connection.description() +
               "], not the session's client");
    else
        MediaServer::reportConnection(event, connection, error);
}

void SpeedTestServer::connectionEnded(const std::shared_ptr<Connection>& connection) {
    if (std::lock_guard lock(mutex_); tester_.lock() != connection) return;
    stopRequested = true;
    testEnded();
}

void SpeedTestServer::receivePacket(const std::shared_ptr<Connection>& connection) {
    std::weak_ptr<SpeedTestServer> weak = weakSelf();
    connection->receive(
        1, 4096,
        [weak, connection](std::optional<Bytes> data, bool isComplete,
                           std::optional<NetworkError> error) {
            auto self = weak.lock();
            if (!self) return;
            if (data && !data->empty()) {
                auto packet = Packet::decode(*data);
                if (packet && packet->type == PacketType::pktInteractiveTap &&
                    packet->subType == InteractionType::speedTestStart) {
                    {
                        std::lock_guard lock(self->mutex_);
                        self->tester_ = connection;
                    }
                    self->dataSent = 0;
                    // A chain already running picks up the reset count; a second chain would
                    // double the stream.
                    if (!self->sending_.exchange(true)) self->sendNextChunk(connection);
                }
            }
            // A client that ended its side still reads the data; only receiving is over.
            if (error || isComplete || connection->state() != ConnectionState::ready) return;
            self->receivePacket(connection);
        });
}

void SpeedTestServer::clientGateChanged() {
    MediaServer::clientGateChanged();
    std::shared_ptr<Connection> tester;
    {
        std::lock_guard lock(mutex_);
        tester = tester_.lock();
    }
    // No client known any more, or another one: the test was for the one that left.
    if (tester && (!gate()->authorizedHost() || !gate()->admits(*tester))) tester->cancel();
}

void SpeedTestServer::testEnded() {
    if (isListening()) logMsg(serverName() + ": test over; no longer listening");
    stop();
}

void SpeedTestServer::sendNextChunk(const std::shared_ptr<Connection>& connection) {
    std::int64_t remaining = testDataSize - dataSent;
    while (stopRequested || remaining < 1) {
        sending_ = false;
        // A new start may have reset the count just as this chain finished: take it over.
        remaining = testDataSize - dataSent;
        if (stopRequested || remaining < 1 || sending_.exchange(true)) {
            if (!stopRequested && remaining < 1) testEnded();
            return;
        }
    }
    std::int64_t n = std::min(maxPayload, remaining);
    const Bytes& chunk = speedTestChunk();
    Packet packet(PacketType::pktSpeedTestData, InteractionType::speedTest,
                  Bytes(chunk.begin(), chunk.begin() + n));
    std::weak_ptr<SpeedTestServer> weak = weakSelf();
    connection->send(
        packet.encode(), true, [weak, connection, n](std::optional<NetworkError> error) {
            auto self = weak.lock();
            if (!self) return;
            if (error) {
                logMsg("Speed test send failed: " + error->description(), LogLevel::error);
                self->sending_ = false;
                return;
            }
            self->dataSent += n;
            self->sendNextChunk(connection);
        });
}

}  // namespace vl
