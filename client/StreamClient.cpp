#include "client/StreamClient.h"

namespace vl {

namespace {

bool ended(ConnectionState state) {
    return state == ConnectionState::failed || state == ConnectionState::cancelled;
}

}  // namespace

std::unique_ptr<StreamClient> StreamClient::connect(const std::string& host, std::uint16_t port,
                                                    StreamOptions options) {
    std::unique_ptr<StreamClient> client(new StreamClient());
    auto shared = std::make_shared<Shared>(options.skipKeepalives);
    client->shared_ = shared;
    client->queue_ = std::make_unique<DispatchQueue>("client." + host + ":" + std::to_string(port));
    client->connection_ = connectQuic(host, port, std::move(options.parameters));
    client->connection_->setStateUpdateHandler(
        [shared](ConnectionState state, std::optional<NetworkError> error) {
            {
                std::lock_guard lock(shared->mutex);
                shared->state = state;
                shared->wasReady = shared->wasReady || state == ConnectionState::ready;
                if (error) shared->error = error;
            }
            shared->changed.notify_all();
        });
    client->connection_->start(*client->queue_);
    // Receives armed before the handshake wait for it, so nothing sent right after ready is
    // missed.
    if (options.reading) client->startReading();
    return client;
}

std::unique_ptr<StreamClient> StreamClient::open(const std::string& host, std::uint16_t port,
                                                 std::chrono::milliseconds timeout,
                                                 std::string* error, bool skipKeepalives) {
    StreamOptions options;
    options.skipKeepalives = skipKeepalives;
    auto client = connect(host, port, std::move(options));
    if (client->waitForState(ConnectionState::ready, timeout)) return client;
    if (error) {
        auto state = client->state();
        auto reason = client->error();
        *error = !ended(state) ? "timed out connecting to " + host + ":" + std::to_string(port)
                 : reason      ? reason->description()
                               : "connection " + description(state);
    }
    return nullptr;
}

StreamClient::~StreamClient() {
    close();
}

void StreamClient::Shared::take(ByteView data) {
    {
        std::lock_guard lock(mutex);
        bytesReceived += data.size();
        stream.append(data, [this](Packet&& packet) {
            if (handler)
                handler(std::move(packet));
            else
                arrived.push_back(std::move(packet));
        });
    }
    changed.notify_all();
}

void StreamClient::armReceive(const std::shared_ptr<Connection>& connection,
                              const std::shared_ptr<Shared>& shared) {
    std::weak_ptr<Connection> weak = connection;
    auto completion = [weak, shared](std::optional<Bytes> data, bool isComplete,
                                     std::optional<NetworkError> error) {
        if (data && !data->empty()) shared->take(*data);
        auto connection = weak.lock();
        if (error || isComplete || !connection || ended(connection->state())) return;
        armReceive(connection, shared);
    };
    connection->receive(1, 65536, std::move(completion));
}

void StreamClient::startReading() {
    if (!connection_) return;
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->reading) return;
        shared_->reading = true;
    }
    armReceive(connection_, shared_);
}

void StreamClient::send(const Packet& packet) {
    sendBytes(packet.encode());
}

void StreamClient::sendBytes(Bytes bytes) {
    if (connection_) connection_->send(std::move(bytes), true, nullptr);
}

void StreamClient::finishSending() {
    if (connection_) connection_->send(Bytes{}, true, nullptr, ContentContext::finalMessage);
}

void StreamClient::registerForVideo() {
    send(Packet(PacketType::pktVideoStreamData, InteractionType::rdpVideo));
}

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
        return ended(shared_->state);
    });
    return found;
}

std::vector<Packet> StreamClient::packets() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->arrived;
}

std::vector<Packet> StreamClient::waitForPackets(std::size_t count,
                                                 std::chrono::milliseconds timeout) {
    return waitUntil([count](const std::vector<Packet>& kept) { return kept.size() >= count; },
                     timeout);
}

std::vector<Packet> StreamClient::waitUntil(const PacketsCondition& done,
                                            std::chrono::milliseconds timeout) {
    std::unique_lock lock(shared_->mutex);
    shared_->changed.wait_for(lock, timeout, [&] { return done(shared_->arrived); });
    return shared_->arrived;
}

void StreamClient::setPacketHandler(PacketHandler handler) {
    std::lock_guard lock(shared_->mutex);
    shared_->handler = std::move(handler);
}

ConnectionState StreamClient::state() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->state;
}

bool StreamClient::waitForState(ConnectionState wanted, std::chrono::milliseconds timeout) {
    std::unique_lock lock(shared_->mutex);
    shared_->changed.wait_for(lock, timeout,
                              [&] { return shared_->state == wanted || ended(shared_->state); });
    return shared_->state == wanted;
}

bool StreamClient::wasReady() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->wasReady;
}

bool StreamClient::isOpen() const {
    return state() == ConnectionState::ready;
}

std::optional<NetworkError> StreamClient::error() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->error;
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
