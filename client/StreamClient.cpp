#include "client/StreamClient.h"

namespace vl {

std::unique_ptr<StreamClient> StreamClient::open(const std::string& host, std::uint16_t port,
                                                 std::chrono::milliseconds timeout,
                                                 std::string* error, bool skipKeepalives) {
    std::unique_ptr<StreamClient> client(new StreamClient());
    auto shared = std::make_shared<Shared>(skipKeepalives);
    client->shared_ = shared;
    client->queue_ = std::make_unique<DispatchQueue>("client." + host + ":" + std::to_string(port));
    client->connection_ = connectQuic(host, port, QuicParameters{});
    client->connection_->setStateUpdateHandler(
        [shared](ConnectionState state, std::optional<NetworkError> error) {
            {
                std::lock_guard lock(shared->mutex);
                shared->state = state;
                if (error) shared->error = error;
            }
            shared->changed.notify_all();
        });
    client->connection_->start(*client->queue_);

    std::unique_lock lock(shared->mutex);
    bool settled = shared->changed.wait_for(lock, timeout, [&] {
        return shared->state == ConnectionState::ready || shared->state == ConnectionState::failed ||
               shared->state == ConnectionState::cancelled;
    });
    if (!settled || shared->state != ConnectionState::ready) {
        if (error)
            *error = !settled ? "timed out connecting to " + host + ":" + std::to_string(port)
                     : shared->error ? shared->error->description()
                                     : "connection " + description(shared->state);
        lock.unlock();
        client->close();
        return nullptr;
    }
    lock.unlock();
    armReceive(client->connection_, shared);
    return client;
}

StreamClient::~StreamClient() { close(); }

void StreamClient::armReceive(const std::shared_ptr<Connection>& connection,
                              const std::shared_ptr<Shared>& shared) {
    std::weak_ptr<Connection> weak = connection;
    connection->receive(1, 65536, [weak, shared](std::optional<Bytes> data, bool isComplete,
                                                 std::optional<NetworkError> error) {
        if (data && !data->empty()) {
            std::lock_guard lock(shared->mutex);
            shared->bytesReceived += data->size();
            shared->stream.append(*data, [&](Packet&& packet) {
                if (shared->handler) shared->handler(std::move(packet));
                else shared->arrived.push_back(std::move(packet));
            });
        }
        shared->changed.notify_all();
        auto connection = weak.lock();
        if (error || isComplete || !connection) return;
        auto state = connection->state();
        if (state == ConnectionState::ready || state == ConnectionState::preparing)
            armReceive(connection, shared);
    });
}

void StreamClient::send(const Packet& packet) { connection_->send(packet.encode(), true, nullptr); }

std::optional<Packet> StreamClient::waitFor(const std::function<bool(const Packet&)>& match,
                                            std::chrono::milliseconds timeout) {
    std::unique_lock lock(shared_->mutex);
    std::optional<Packet> found;
    shared_->changed.wait_for(lock, timeout, [&] {
        for (auto it = shared_->arrived.begin(); it != shared_->arrived.end(); ++it) {
            if (match(*it)) {
                found = std::move(*it);
                shared_->arrived.erase(it);
                return true;
            }
        }
        return shared_->state == ConnectionState::failed ||
               shared_->state == ConnectionState::cancelled;
    });
    return found;
}

void StreamClient::setPacketHandler(PacketHandler handler) {
    std::lock_guard lock(shared_->mutex);
    shared_->handler = std::move(handler);
}

bool StreamClient::isOpen() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->state == ConnectionState::ready;
}

std::uint64_t StreamClient::keepalives() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->stream.keepalives();
}

std::uint64_t StreamClient::bytesReceived() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->bytesReceived;
}

void StreamClient::close() {
    if (!connection_) return;
    connection_->cancel();
    connection_.reset();
}

}  // namespace vl
