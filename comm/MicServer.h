// comm: the microphone port. The client streams its microphone as framed packets, each one
// AAC-ELD access unit; they are decoded and pushed into the virtual microphone. The other way,
// micStart and micStop tell the client when some application starts or stops recording, so it
// captures only while it is needed.
#pragma once

#include "Capture/MicDropper.h"
#include "Capture/ZuAudioDecoder.h"
#include "comm/MediaServer.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

namespace vl {

class MicServer : public MediaServer {
  public:
    // A header announcing more than this is taken as a stream out of step.
    static constexpr std::uint32_t maxPacketLength = 0x100000;

    // Unless told to wait, the dropper binds to the device and starts listening at once (see
    // connectDevice). onIOStart/onIOStop run on callbackQueue (the main queue).
    enum class Device { connectNow, connectLater };
    static std::shared_ptr<MicServer> make(std::uint16_t port, std::shared_ptr<DispatchQueue> queue,
                                           std::string name, TlsIdentitySource identity,
                                           std::shared_ptr<ClientGate> gate,
                                           std::shared_ptr<AudioHardware> audio,
                                           DispatchQueue& callbackQueue,
                                           Device device = Device::connectNow);

    // The dropper binds to the device and follows its recording state; a missing device is
    // reported and the server runs without it. Asks the device's host, which may be slow.
    void connectDevice();
    ~MicServer() override;

    void start() override;
    void stop() override;
    void receivePacket(const std::shared_ptr<Connection>& connection) override;
    void sendPacket(const std::shared_ptr<Connection>& connection, const Packet& packet) override;

    // Bytes of one receive, as the receive loop hands them on.
    void received(ByteView data);

    ZuAudioDecoder* decoder() const { return decoder_.get(); }
    const std::shared_ptr<MicDropper>& dropper() const { return dropper_; }
    std::size_t bufferedBytes() const;

  protected:
    void connectionAdmitted(const std::shared_ptr<Connection>& connection) override;
    void reportConnection(ConnectionEvent event, const Connection& connection,
                          const std::optional<NetworkError>& error) override;

  private:
    MicServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue, std::string name,
              TlsIdentitySource identity, std::shared_ptr<ClientGate> gate,
              std::shared_ptr<AudioHardware> audio, DispatchQueue& callbackQueue);
    void wire();
    void drainPackets();  // under rxMutex_
    void onIOStart();
    void onIOStop();
    void noteArrival();  // under rxMutex_

    std::unique_ptr<ZuAudioDecoder> decoder_;
    std::atomic<bool> stopRequested_{false};
    const std::shared_ptr<AudioHardware> audio_;
    std::shared_ptr<MicDropper> dropper_;

    mutable std::mutex rxMutex_;  // the receive buffer and the pacing estimate
    Bytes rxBuffer_;
    std::chrono::steady_clock::time_point lastArrival_{};
    double leadFrames_ = 0;  // audio received beyond real time
    std::uint64_t aheadReports_ = 0;
};

}  // namespace vl
