// client: one stream to a server port — sends packets and hands back the packets that arrive.
// The command-line client and the tests share it: packets are either handed to a handler or kept,
// and kept packets can be taken one by one (waitFor) or watched as a whole (packets, waitUntil).
#pragma once

#include "base/DispatchQueue.h"
#include "client/PacketStream.h"
#include "platform/network/Interface.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vl {

struct StreamOptions {
    QuicParameters parameters;
    // The control stream carries bare 0x00 keepalive bytes between packets; media streams do not.
    bool skipKeepalives = true;
    // False leaves the stream unread (the transport's flow control holds the server back) until
    // startReading().
    bool reading = true;

    // A media port's stream (video, speed-test data): packets only, no keepalive bytes.
    static StreamOptions media() {
        StreamOptions options;
        options.skipKeepalives = false;
        return options;
    }
};

class StreamClient {
  public:
    using PacketHandler = std::function<void(Packet&&)>;
    using PacketsCondition = std::function<bool(const std::vector<Packet>&)>;
    static constexpr std::chrono::milliseconds defaultWait{10000};

    // Connects and waits until the stream is ready; nothing (and the reason) on failure.
    static std::unique_ptr<StreamClient> open(const std::string& host, std::uint16_t port,
                                              std::chrono::milliseconds timeout, std::string* error,
                                              bool skipKeepalives = true);
    // Starts connecting and returns at once; waitForState tells how it went.
    static std::unique_ptr<StreamClient> connect(const std::string& host, std::uint16_t port,
                                                 StreamOptions options = {});
    ~StreamClient();
    StreamClient(const StreamClient&) = delete;
    StreamClient& operator=(const StreamClient&) = delete;

    // Queues the packet; sends keep their order.
    void send(const Packet& packet);
    // Queues raw bytes, e.g. ones that are no packet at all.
    void sendBytes(Bytes bytes);
    // Ends the sending side of the stream (FIN); the connection stays open for reading.
    void finishSending();
    // On a video port: asks to be the port's receiver. The server takes the first packet as the
    // registration and sends no reply.
    void registerForVideo();
    // Starts reading a stream connected with `reading` off; harmless when already reading.
    void startReading();

    // The first kept packet that matches, taken out, waiting up to the timeout. Packets that do
    // not match stay kept for later calls.
    std::optional<Packet> waitFor(const std::function<bool(const Packet&)>& match,
                                  std::chrono::milliseconds timeout);
    // Every packet kept so far (arrived and not taken), oldest first.
    std::vector<Packet> packets() const;
    // Waits until at least `count` packets are kept; returns them all (fewer on time-out).
    std::vector<Packet> waitForPackets(std::size_t count,
                                       std::chrono::milliseconds timeout = defaultWait);
    // Waits until the kept packets satisfy `done`; returns them all either way.
    std::vector<Packet> waitUntil(const PacketsCondition& done,
                                  std::chrono::milliseconds timeout = defaultWait);
    // From now on every packet goes to the handler (on the receive queue) instead of being kept.
    void setPacketHandler(PacketHandler handler);

    ConnectionState state() const;
    // Waits until the connection is in `wanted`; false on time-out or when it ended in another
    // state.
    bool waitForState(ConnectionState wanted, std::chrono::milliseconds timeout = defaultWait);
    // Whether the stream was ever ready (a refused handshake never is).
    bool wasReady() const;
    bool isOpen() const;
    std::optional<NetworkError> error() const;
    std::uint64_t keepalives() const;
    std::uint64_t bytesReceived() const;
    void close();

  private:
    // What the connection's handlers touch; shared so late completions never outlive it.
    struct Shared {
        explicit Shared(bool skipKeepalives) : stream(skipKeepalives) {}
        // Cuts arrived bytes into packets for the handler or the kept list.
        void take(ByteView data);
        mutable std::mutex mutex;
        std::condition_variable changed;
        std::vector<Packet> arrived;
        PacketStream stream;
        PacketHandler handler;
        ConnectionState state = ConnectionState::setup;
        bool wasReady = false;
        bool reading = false;
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
