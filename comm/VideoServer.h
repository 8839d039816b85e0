// comm: the stream endpoint on a video port. The client opens a connection and identifies itself
// with one pktVideoStreamData packet; from then on every access unit of the capture goes to that
// connection as one packet. Nothing else is read from the client.
#pragma once

#include "base/Uuid.h"
#include "comm/MediaServer.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vl {

class VideoServer : public MediaServer {
  public:
    // Bytes handed to the client's connection and not yet taken by the transport, above which
    // frames are dropped rather than queued without bound (a client that stops reading).
    static constexpr std::size_t defaultBacklogLimit = 16 * 1024 * 1024;

    VideoServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue, std::string name,
                TlsIdentitySource identity, std::shared_ptr<ClientGate> gate = nullptr);

    // The identification step: one receive, no further one.
    void receivePacket(const std::shared_ptr<Connection>& connection) override;
    // Sends to the registered client; dropped (with a report) when there is none.
    void sendVideoPacket(const Packet& packet);

    // The registered receiver: the connection that identified itself last.
    std::shared_ptr<Connection> clientConnection() const { return activeConnection(); }
    void setBacklogLimit(std::size_t bytes) { backlogLimit_ = bytes; }

    // True once each time the stream needs a key picture to be decodable again: a client has
    // just registered, or frames were dropped for one that did not keep up and there is room to
    // resume. Cleared by a key picture sent meanwhile.
    bool takeKeyFrameRequest();

    // The frame handler of one capture: each access unit becomes a pktVideoStreamData/rdpVideo
    // packet carrying the shared item's id, and `requestKeyFrame` (when given) is called when
    // the stream needs a key picture. Holds the server weakly.
    std::function<void(Bytes)> frameHandler(const Uuid& sharedID,
                                            std::function<void()> requestKeyFrame = {});

    static std::string hostOf(const std::string& endpoint) { return ClientGate::hostOf(endpoint); }

  protected:
    void reportConnection(ConnectionEvent event, const Connection& connection,
                          const std::optional<NetworkError>& error) override;

  private:
    void registerClient(const std::shared_ptr<Connection>& connection);
    void reportDrop(const std::string& why);

    mutable std::mutex mutex_;       // guards the fields below
    bool awaitingKeyFrame_ = false;  // after an overflow, until a key frame fits again
    bool keyFrameWanted_ = false;    // see takeKeyFrameRequest()
    std::size_t droppedFrames_ = 0;

    std::atomic<std::size_t> backlog_{0};
    std::atomic<std::size_t> backlogLimit_{defaultBacklogLimit};
};

// True when the access unit begins with a start code and a video parameter set: how a receiver
// recognises a key frame, since nothing else travels with it.
bool isKeyFrameAccessUnit(ByteView accessUnit);

}  // namespace vl
