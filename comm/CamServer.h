// comm: the stream endpoint on the camera port. The client sends its camera as HEVC access units,
// one pktVideoStreamData/rdpVideo packet each; every unit is written into the camera device's
// encoded-frame property. The other way, the camera daemon's format notifications become camStart
// ("WxH") and camStop packets to the client, so that it streams only while an application uses
// the camera, at the size asked for.
#pragma once

#include "comm/MediaServer.h"
#include "comm/PersonaFormatObserver.h"
#include "platform/cameradevices/Interface.h"
#include "platform/notify/Interface.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vl {

class CamServer : public MediaServer {
  public:
    static constexpr const char* camDeviceUID = "6F2C9A14-8B3D-4E57-9A1C-D0E5F6A7B8C9";
    static constexpr const char* showDeviceName = "com.corvane.cam.persona.showDevice";
    // A length above this cannot be a camera frame: the stream is out of step.
    static constexpr std::uint32_t maxPacketLength = 4194304;

    struct Services {
        std::shared_ptr<NotifyCenter> notify;
        std::shared_ptr<CameraDevices> devices;
    };

    // The bytes of one connection not yet cut into packets.
    class ReceiveBuffer {
      public:
        // Appends and hands every complete packet to `packet`; false when an implausible length
        // made it discard everything buffered (the length is in `desyncLength`).
        bool append(ByteView bytes, const std::function<void(Packet&&)>& packet,
                    std::uint32_t* desyncLength = nullptr);
        std::size_t size() const { return bytes_.size() - consumed_; }

      private:
        Bytes bytes_;
        std::size_t consumed_ = 0;
    };

    struct Counters {
        std::int64_t rxByteTotal = 0;
        std::int64_t videoPacketCount = 0;
        std::int64_t ignoredPacketCount = 0;
        std::int64_t pushedFrameCount = 0;
        std::int64_t resolveFailureCount = 0;
        std::int64_t pushStatusLogCount = 0;
    };

    // The format observer is started at once.
    static std::shared_ptr<CamServer> make(std::uint16_t port, std::shared_ptr<DispatchQueue> queue,
                                           std::string name, TlsIdentitySource identity,
                                           std::shared_ptr<ClientGate> gate, Services services);
    ~CamServer() override;

    // Stops listening and observing; the client's camera connection is ended too.
    void stop() override;

    void receivePacket(const std::shared_ptr<Connection>& connection) override;
    void sendPacket(const std::shared_ptr<Connection>& connection, const Packet& packet) override;

    // One chunk received on a connection: counted, buffered and drained.
    void received(ReceiveBuffer& buffer, ByteView bytes);
    void forwardEncoded(ByteView data);
    void pushEncoded(ByteView data, CameraDeviceID device);
    std::optional<CameraDeviceID> cmioDevice(const std::string& uid);
    // The observer's callback: (width, height), (0, 0) for a stop.
    void formatChanged(int width, int height);

    Counters counters() const;
    bool stopRequested() const { return stopRequested_; }

  protected:
    CamServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue, std::string name,
              TlsIdentitySource identity, std::shared_ptr<ClientGate> gate, Services services);
    bool acceptsConnections() const override { return !stopRequested_; }
    void reportConnection(ConnectionEvent event, const Connection& connection,
                          const std::optional<NetworkError>& error) override;

  private:
    void receiveLoop(const std::shared_ptr<Connection>& connection,
                     std::shared_ptr<ReceiveBuffer> buffer);
    void handlePacket(Packet&& packet);

    const Services services_;
    std::unique_ptr<PersonaFormatObserver> formatObserver_;
    std::atomic<bool> stopRequested_{false};

    mutable std::mutex mutex_;  // counters_
    Counters counters_;
    // Touched on the server's queue only.
    std::optional<CameraDeviceID> camDevice_;
    // The device went away (its daemon stopped): once found again it is shown again, since a
    // restarted daemon has not seen this session's show.
    bool camDeviceLost_ = false;
};

}  // namespace vl
