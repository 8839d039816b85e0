// comm: the speed-test port — on the client's request, pushes a fixed amount of random data in
// framed chunks, one send in flight at a time, as fast as the connection takes it. Behind the
// session's client gate like every media port; it stops listening once its test has ended.
#pragma once

#include "comm/MediaServer.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace vl {

class SpeedTestServer : public MediaServer {
  public:
    static constexpr std::int64_t maxPayload = 4076;

    SpeedTestServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue, std::string name,
                    TlsIdentitySource identity, std::shared_ptr<ClientGate> gate = nullptr);

    void receivePacket(const std::shared_ptr<Connection>& connection) override;
    void sendNextChunk(const std::shared_ptr<Connection>& connection);

    // 1 MiB of random bytes, made once; every packet carries a prefix of it.
    const Bytes& speedTestChunk();

    std::int64_t testDataSize = 1000000000;
    std::int64_t chunkSize = 1048576;
    std::atomic<std::int64_t> dataSent{0};
    std::atomic<bool> stopRequested{false};

  protected:
    void clientGateChanged() override;
    void connectionEnded(const std::shared_ptr<Connection>& connection) override;
    void reportConnection(ConnectionEvent event, const Connection& connection,
                          const std::optional<NetworkError>& error) override;

  private:
    std::weak_ptr<SpeedTestServer> weakSelf();
    // The test is over (all sent, stopped, or its connection gone): nobody else may connect.
    void testEnded();

    std::once_flag chunkOnce_;
    Bytes chunk_;
    std::atomic<bool> sending_{false};  // a send chain is running
    std::mutex mutex_;
    std::weak_ptr<Connection> tester_;  // the admitted connection that asked for the test
};

}  // namespace vl
