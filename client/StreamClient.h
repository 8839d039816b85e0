// client: one stream to a server port — sends packets and hands back the packets that arrive.
#pragma once

#include "base/DispatchQueue.h"
#include "client/PacketStream.h"
#include "platform/network/Interface.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vl {

class StreamClient {
public:
    using PacketHandler = std::function<void(Packet&&)>;

    // Connects and waits until the stream is ready; nothing (and the reason) on failure.
    static std::unique_ptr<StreamClient> open(const std::string& host, std::uint16_t port,
                                              std::chrono::milliseconds timeout,
                                              std::string* error, bool skipKeepalives = true);
    ~StreamClient();

    // Queues the packet; sends keep their order.
    void send(const Packet& packet);
    // The first arrived packet that matches, waiting up to the timeout. Packets that do not match
    // are kept for later calls.
    std::optional<Packet> waitFor(const std::function<bool(const Packet&)>& match,
                                  std::chrono::milliseconds timeout);
    // From now on every packet goes to the handler (on the receive queue) instead of the queue.
    void setPacketHandler(PacketHandler handler);

    bool isOpen() const;
    std::uint64_t keepalives() const;
    std::uint64_t bytesReceived() const;
    void close();

private:
    // What the connection's handlers touch; shared so late completions never outlive it.
    struct Shared {
        explicit Shared(bool skipKeepalives) : stream(skipKeepalives) {}
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<Packet> arrived;
        PacketStream stream;
        PacketHandler handler;
        ConnectionState state = ConnectionState::setup;
        std::optional<NetworkError> error;
        std::uint64_t bytesReceived = 0;
    };

    StreamClient() = default;
    static void armReceive(const std::shared_ptr<Connection>& connection,
                           const std::shared_ptr<Shared>& shared);

    std::unique_ptr<DispatchQueue> queue_;
    std::shared_ptr<Connection> connection_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace vl
