#include "comm/QuicServer.h"

#include "base/testing/LogCapture.h"
#include "client/StreamClient.h"
#include "comm/KeychainIdentityManager.h"
#include "comm/testing/TestIdentity.h"
#include "platform/network/fake/FakeConnection.h"
#include "platform/security/fake/MemoryKeychain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace vl;
using namespace std::chrono_literals;

namespace {

// Keeps each accepted connection so the test can reach it, then runs the default life cycle.
class KeepingServer : public QuicServer {
  public:
    using QuicServer::QuicServer;
    void handleConnection(const std::shared_ptr<Connection>& connection) override {
        {
            std::lock_guard lock(mutex);
            accepted.push_back(connection);
        }
        changed.notify_all();
        QuicServer::handleConnection(connection);
    }
    std::shared_ptr<Connection> waitForConnection() {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, 10s, [&] { return !accepted.empty(); });
        return accepted.empty() ? nullptr : accepted.back();
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::shared_ptr<Connection>> accepted;
};

std::unique_ptr<StreamClient> connectTo(std::uint16_t port, QuicParameters parameters = {}) {
    StreamOptions options;
    options.parameters = std::move(parameters);
    return StreamClient::connect("127.0.0.1", port, std::move(options));
}

using vl::testing::testIdentity;

class QuicServerTest : public ::testing::Test {
  protected:
    bool logged(const std::string& text) { return log.contains(text, 2s); }
    std::shared_ptr<KeepingServer> makeServer(std::uint16_t port = 0,
                                              TlsIdentitySource identity = testIdentity) {
        return std::make_shared<KeepingServer>(
            port, std::make_shared<DispatchQueue>("TestServerQueue"), "TestServer", identity);
    }

    vl::testing::LogCapture log;
};

TEST_F(QuicServerTest, StopIsHarmlessAndStartAfterStopListensAgainOnTheSamePort) {
    auto server = makeServer();
    server->stop();  // never started
    EXPECT_FALSE(server->isListening());
    server->start();
    std::uint16_t port = server->boundPort();
    ASSERT_NE(port, 0);
    server->stop();
    server->stop();
    EXPECT_FALSE(server->isListening());

    auto again = makeServer(port);
    again->start();
    again->stop();
    again->start();
    EXPECT_EQ(again->boundPort(), port);
    EXPECT_TRUE(logged("TestServer is ready and listening on "));
    auto client = connectTo(port);
    EXPECT_TRUE(client->waitForState(ConnectionState::ready));
}

TEST_F(QuicServerTest, DefaultLoopDecodesOnePacketPerReceiveAndSendReportsTheOutcome) {
    auto server = makeServer();
    server->start();
    auto client = connectTo(server->boundPort());
    ASSERT_TRUE(client->waitForState(ConnectionState::ready));
    Packet hello(PacketType::pktInteractiveTap, InteractionType::keepLive, bytesOf("hi"));
    client->send(hello);
    auto accepted = server->waitForConnection();
    ASSERT_TRUE(accepted);
    EXPECT_TRUE(logged("🆕 Listener accepted new connection ["));
    EXPECT_TRUE(logged("Connection is ready on port 0"));
    EXPECT_TRUE(logged("Received packet: " + hello.debugDescription()));

    Packet answer(PacketType::pktInteractiveTap, InteractionType::ret200, bytesOf("ok"));
    server->sendPacket(accepted, answer);
    EXPECT_TRUE(logged("Attempting to send packet of size 24 bytes"));
    EXPECT_TRUE(logged("Packet sent successfully: " + answer.debugDescription()));
}

TEST_F(QuicServerTest, SendOnAConnectionThatIsNotReadySendsNothingAndSaysWhy) {
    auto server = makeServer();
    for (auto state : {ConnectionState::preparing, ConnectionState::waiting,
                       ConnectionState::failed, ConnectionState::cancelled}) {
        auto connection = std::make_shared<FakeConnection>();
        connection->setState(state);
        server->sendPacket(connection,
                           Packet(PacketType::pktInteractiveTap, InteractionType::ret200));
        EXPECT_TRUE(connection->sent().empty());
        EXPECT_TRUE(logged("Cannot send packet: connection state is " + description(state)));
    }
}

TEST_F(QuicServerTest, WithoutAnIdentityTheServerSaysSoAndItsListenerFails) {
    auto server = makeServer(0, [] { return std::optional<TlsIdentity>(); });
    server->start();
    EXPECT_TRUE(server->isListening());
    EXPECT_TRUE(logged("TestServer: no usable TLS identity"));
    EXPECT_TRUE(logged("TestServer on port 0 failed with error: "));
    QuicParameters quick;
    quick.idleTimeout = 1000ms;
    auto client = connectTo(server->boundPort(), quick);
    EXPECT_TRUE(client->waitForState(ConnectionState::failed));
    server->stop();
}

TEST_F(QuicServerTest, AnEndedConnectionOfTheDefaultLifeCycleLetsGoOfItselfAndItsServer) {
    auto server = std::make_shared<QuicServer>(0, std::make_shared<DispatchQueue>("PlainQueue"),
                                               "PlainServer", testIdentity);
    std::weak_ptr<QuicServer> watch = server;
    server->start();
    {
        auto client = connectTo(server->boundPort());
        ASSERT_TRUE(client->waitForState(ConnectionState::ready));
        client->send(Packet(PacketType::pktInteractiveTap, InteractionType::keepLive));
        ASSERT_TRUE(logged("Received packet: "));
    }
    EXPECT_TRUE(logged("Connection failed on port 0 with error: "));
    server->stop();
    server.reset();
    for (int i = 0; i < 100 && !watch.expired(); ++i) std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(watch.expired());
}

TEST_F(QuicServerTest, EventsQueuedForAReleasedServerFindNoServer) {
    auto queue = std::make_shared<DispatchQueue>("TestServerQueue");
    auto server = std::make_shared<KeepingServer>(0, queue, "LateServer", testIdentity);
    // Hold the server's queue so the listener's events wait behind the release.
    std::mutex gate;
    std::unique_lock closed(gate);
    queue->async([&gate] { std::lock_guard wait(gate); });
    server->start();
    std::uint16_t port = server->boundPort();
    auto client = connectTo(port);
    ASSERT_TRUE(client->waitForState(ConnectionState::ready));
    client->send(Packet(PacketType::pktInteractiveTap, InteractionType::keepLive));
    std::this_thread::sleep_for(200ms);  // the stream reaches the server and is queued for it
    server.reset();
    closed.unlock();
    queue->sync([] {});
    EXPECT_EQ(log.count("LateServer is ready"), 0u);
    EXPECT_EQ(log.count("🆕 Listener accepted"), 0u);
}

TEST_F(QuicServerTest, AClientOfferingAnotherAlpnIsRefusedAndAReleasedServerStopsListening) {
    auto server = makeServer();
    server->start();
    std::uint16_t port = server->boundPort();
    QuicParameters other;
    other.alpn = {"h3"};
    auto stranger = connectTo(port, other);
    EXPECT_TRUE(stranger->waitForState(ConnectionState::failed));

    server.reset();  // its listener goes with it; late events find no server
    QuicParameters quick;
    quick.idleTimeout = 1000ms;
    auto late = connectTo(port, quick);
    EXPECT_TRUE(late->waitForState(ConnectionState::failed));
    EXPECT_FALSE(late->wasReady());
}

}  // namespace
