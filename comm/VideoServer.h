// comm: the stream endpoint on a video port. The client opens a connection and identifies itself
// with one pktVideoStreamData packet; from then on every access unit of the capture goes to that
// connection as one packet. Nothing else is read from the client.
#pragma once

#include "base/Uuid.h"
#include "comm/QuicServer.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vl {

class VideoServer : public QuicServer {
  public:
    // Bytes handed to the client's connection and not yet taken by the transport, above which
    // frames are dropped rather than queued without bound (a client that stops reading).
    static constexpr std::size_t defaultBacklogLimit = 16 * 1024 * 1024;

    VideoServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue, std::string name);

    void handleConnection(const std::shared_ptr<Connection>& connection) override;
    // The identification step: one receive, no further one.
    void receivePacket(const std::shared_ptr<Connection>& connection) override;
    // Sends to the registered client; dropped (with a report) when there is none.
    void sendVideoPacket(const Packet& packet);

    // While a client is known, only a connection from its address may register (anyone on the
    // network could otherwise take the screen). The control server sets it when a client is
    // answered ret200 and clears it when the client goes; none lets any connection register.
    // Takes a host ("192.0.2.7") or an endpoint ("192.0.2.7:50123"); the port is ignored.
    void setAuthorizedClientAddress(std::optional<std::string> address);
    std::optional<std::string> authorizedClientAddress() const;

    std::shared_ptr<Connection> clientConnection() const;
    void setBacklogLimit(std::size_t bytes) { backlogLimit_ = bytes; }

    // The frame handler of one capture: each access unit becomes a pktVideoStreamData/rdpVideo
    // packet carrying the shared item's id. Holds the server weakly.
    std::function<void(Bytes)> frameHandler(const Uuid& sharedID);

    // "192.0.2.7:50123" → "192.0.2.7"; "[::1]:443" → "::1"; a bare host stays as it is.
    static std::string hostOf(const std::string& endpoint);

  private:
    void onConnectionState(const std::shared_ptr<Connection>& connection, ConnectionState state,
                           const std::optional<NetworkError>& error);
    void registerClient(const std::shared_ptr<Connection>& connection);
    void forgetClient(const std::shared_ptr<Connection>& connection);
    bool mayRegister(const Connection& connection) const;
    void reportDrop(const std::string& why);

    mutable std::mutex mutex_;  // guards the fields below
    std::shared_ptr<Connection> clientConnection_;
    std::optional<std::string> authorizedHost_;
    bool awaitingKeyFrame_ = false;  // after an overflow, until a key frame fits again
    std::size_t droppedFrames_ = 0;

    std::atomic<std::size_t> backlog_{0};
    std::atomic<std::size_t> backlogLimit_{defaultBacklogLimit};
};

// True when the access unit begins with a start code and a video parameter set: how a receiver
// recognises a key frame, since nothing else travels with it.
bool isKeyFrameAccessUnit(ByteView accessUnit);

}  // namespace vl
