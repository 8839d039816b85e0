#include "comm/VideoServer.h"

#include "base/testing/Eventually.h"
#include "base/testing/LogCapture.h"
#include "client/StreamClient.h"
#include "comm/KeychainIdentityManager.h"
#include "comm/testing/TestIdentity.h"
#include "platform/network/fake/FakeConnection.h"
#include "platform/security/fake/MemoryKeychain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

using namespace vl;
using namespace std::chrono_literals;

namespace {

const Bytes keyFrame = {0, 0,    0,    1, 0x40, 0x01, 0x0c, 0,    0,   0,
                        1, 0x42, 0x01, 0, 0,    0,    1,    0x26, 0x01};
const Bytes deltaFrame = {0, 0, 0, 1, 0x02, 0x01, 0xd0, 0x10};

// A video client over real QUIC: connects, may register, and collects the packets that arrive.
std::unique_ptr<StreamClient> videoClient(std::uint16_t port, bool reading = true) {
    auto options = StreamOptions::media();
    options.reading = reading;
    return StreamClient::connect("127.0.0.1", port, std::move(options));
}

using vl::testing::testIdentity;

class VideoServerTest : public ::testing::Test {
  protected:
    void TearDown() override { server->stop(); }
    bool logged(const std::string& text) { return log.contains(text, 5s); }
    bool waitForClient(bool present) {
        return vl::testing::eventually(
            [&] { return (server->clientConnection() != nullptr) == present; }, 5s);
    }

    vl::testing::LogCapture log;
    std::shared_ptr<VideoServer> server = std::make_shared<VideoServer>(
        0, std::make_shared<DispatchQueue>("VideoServerQueue"), "VideoServer", testIdentity);
};

TEST_F(VideoServerTest, RegisteredClientReceivesEveryLaterFrameAsOnePacketWithTheItemsId) {
    server->start();
    auto client = videoClient(server->boundPort());
    ASSERT_TRUE(client->waitForState(ConnectionState::ready));

    auto send = server->frameHandler(Uuid::random());
    send(deltaFrame);  // nobody registered yet: dropped
    EXPECT_TRUE(logged("VideoServer: frame dropped, no video client registered"));

    client->registerForVideo();
    ASSERT_TRUE(waitForClient(true));
    EXPECT_TRUE(logged("🚩 Received packet: Packet("));
    EXPECT_TRUE(logged("Custom server: Connection is ready on port "));

    const Uuid item = Uuid::random();
    auto handler = server->frameHandler(item);
    handler(keyFrame);
    handler(deltaFrame);
    handler(deltaFrame);
    auto packets = client->waitForPackets(3);
    ASSERT_EQ(packets.size(), 3u);
    for (const Packet& packet : packets) {
        EXPECT_EQ(packet.packetId, item);
        EXPECT_EQ(packet.type, PacketType::pktVideoStreamData);
        EXPECT_EQ(packet.subType, InteractionType::rdpVideo);
    }
    EXPECT_EQ(packets[0].data, keyFrame);
    EXPECT_EQ(packets[0].length, keyFrame.size());
    EXPECT_TRUE(isKeyFrameAccessUnit(*packets[0].data));
    EXPECT_EQ(packets[1].data, deltaFrame);
    EXPECT_FALSE(isKeyFrameAccessUnit(*packets[2].data));
}

// A receiver that registers mid-stream cannot decode deltas whose pictures it never had: the
// capture is asked once for a key picture, unless one goes out first.
TEST_F(VideoServerTest, ARegistrationAsksForAKeyPictureOnceUnlessOneIsSentAnyway) {
    server->start();
    std::atomic<int> requests{0};
    auto handler = server->frameHandler(Uuid::random(), [&] { ++requests; });
    handler(deltaFrame);  // nobody registered: nothing to ask for
    EXPECT_EQ(requests, 0);

    auto client = videoClient(server->boundPort());
    ASSERT_TRUE(client->waitForState(ConnectionState::ready));
    client->registerForVideo();
    ASSERT_TRUE(waitForClient(true));
    handler(deltaFrame);
    EXPECT_EQ(requests, 1);
    handler(deltaFrame);
    handler(keyFrame);
    EXPECT_EQ(requests, 1);

    // The next registration is answered by a key picture that goes out anyway.
    const auto first = server->clientConnection();
    auto second = videoClient(server->boundPort());
    ASSERT_TRUE(second->waitForState(ConnectionState::ready));
    second->registerForVideo();
    ASSERT_TRUE(vl::testing::eventually([&] { return server->clientConnection() != first; }, 5s));
    handler(keyFrame);
    handler(deltaFrame);
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(second->waitForPackets(2).size(), 2u);
}

TEST_F(VideoServerTest, ClientThatSendsNothingOrAnotherTypeOrGarbageGetsNoVideo) {
    server->start();
    auto silent = videoClient(server->boundPort());
    auto control = videoClient(server->boundPort());
    auto garbage = videoClient(server->boundPort());
    ASSERT_TRUE(silent->waitForState(ConnectionState::ready));
    ASSERT_TRUE(control->waitForState(ConnectionState::ready));
    ASSERT_TRUE(garbage->waitForState(ConnectionState::ready));
    control->send(Packet(PacketType::pktInteractiveTap, InteractionType::rdpVideo));
    garbage->sendBytes(bytesOf("not a packet"));
    EXPECT_TRUE(logged("🚩 Received packet: Packet("));
    EXPECT_TRUE(logged("does not decode (12 bytes); no video for it"));

    // A client that registers afterwards shows that frames flow at all.
    auto receiver = videoClient(server->boundPort());
    ASSERT_TRUE(receiver->waitForState(ConnectionState::ready));
    receiver->registerForVideo();
    ASSERT_TRUE(waitForClient(true));
    server->frameHandler(Uuid::random())(keyFrame);
    EXPECT_EQ(receiver->waitForPackets(1).size(), 1u);
    EXPECT_TRUE(silent->waitForPackets(1, 200ms).empty());
    EXPECT_TRUE(control->waitForPackets(1, 10ms).empty());
    EXPECT_TRUE(garbage->waitForPackets(1, 10ms).empty());
}

TEST_F(VideoServerTest, ASecondRegistrationReplacesTheFirstAndAnEndedConnectionIsForgotten) {
    server->start();
    auto first = videoClient(server->boundPort());
    ASSERT_TRUE(first->waitForState(ConnectionState::ready));
    first->registerForVideo();
    ASSERT_TRUE(waitForClient(true));
    auto firstConnection = server->clientConnection();

    auto second = videoClient(server->boundPort());
    ASSERT_TRUE(second->waitForState(ConnectionState::ready));
    second->registerForVideo();
    EXPECT_TRUE(
        vl::testing::eventually([&] { return server->clientConnection() != firstConnection; }));
    auto handler = server->frameHandler(Uuid::random());
    handler(keyFrame);
    EXPECT_EQ(second->waitForPackets(1).size(), 1u);
    EXPECT_TRUE(first->waitForPackets(1, 200ms).empty());

    // The registered connection goes away (the client closes it): frames are dropped again.
    auto secondConnection = server->clientConnection();
    secondConnection->cancel();
    ASSERT_TRUE(waitForClient(false));
    EXPECT_TRUE(logged("Custom server: Connection cancelled on port "));
    handler(deltaFrame);
    EXPECT_TRUE(logged("frame dropped, no video client registered"));
}

TEST_F(VideoServerTest, WhileAClientIsKnownOnlyItsAddressMayRegister) {
    // The address check is exercised on fake connections, whose peer address is chosen freely.
    auto stranger = std::make_shared<FakeConnection>("192.0.2.66:40000");
    auto client = std::make_shared<FakeConnection>("192.0.2.7:50123");
    server->setAuthorizedClientAddress("192.0.2.7:8788");
    EXPECT_EQ(server->authorizedClientAddress(), "192.0.2.7");

    const Packet registration(PacketType::pktVideoStreamData, InteractionType::rdpVideo);
    server->handleConnection(stranger);
    stranger->setState(ConnectionState::ready);
    ASSERT_TRUE(stranger->deliver(registration.encode()));
    EXPECT_EQ(server->clientConnection(), nullptr);
    EXPECT_EQ(stranger->state(), ConnectionState::cancelled);
    EXPECT_TRUE(logged("🟨 VideoServer: refused video receiver [192.0.2.66:40000"));

    server->handleConnection(client);
    client->setState(ConnectionState::ready);
    ASSERT_TRUE(client->deliver(registration.encode()));
    EXPECT_EQ(server->clientConnection(), client);
    server->frameHandler(Uuid::random())(keyFrame);
    EXPECT_EQ(client->sent().size(), 1u);

    // Another client becomes the known one: the registered receiver is no longer served.
    server->setAuthorizedClientAddress("192.0.2.8");
    EXPECT_EQ(server->clientConnection(), nullptr);
    EXPECT_EQ(client->state(), ConnectionState::cancelled);

    // No client known: any connection may register, as before authentication existed.
    server->setAuthorizedClientAddress(std::nullopt);
    auto anyone = std::make_shared<FakeConnection>("198.51.100.1:1000");
    server->handleConnection(anyone);
    anyone->setState(ConnectionState::ready);
    ASSERT_TRUE(anyone->deliver(registration.encode()));
    EXPECT_EQ(server->clientConnection(), anyone);
    anyone->cancel();  // its handler holds the server until the connection ends
}

TEST_F(VideoServerTest, AClientThatStopsReadingCostsBoundedMemoryAndResumesAtAKeyFrame) {
    server->setBacklogLimit(256 * 1024);
    server->start();
    auto client = videoClient(server->boundPort(), /*reading=*/false);
    ASSERT_TRUE(client->waitForState(ConnectionState::ready));
    client->registerForVideo();
    ASSERT_TRUE(waitForClient(true));

    // Flow control stops the transport at the client's window (512 KiB); the backlog above it
    // must be refused, not queued.
    Bytes big(64 * 1024, 0x55);
    std::copy(deltaFrame.begin(), deltaFrame.end(), big.begin());
    std::atomic<int> requests{0};
    auto handler = server->frameHandler(Uuid::random(), [&] { ++requests; });
    handler(keyFrame);  // the registration's request answered: none asked for
    EXPECT_EQ(requests, 0);
    for (int i = 0; i < 40; ++i) {
        handler(big);
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(logged("frame dropped, the client is not keeping up"));

    // The client reads again; deltas stay dropped until a key frame gets through.
    client->startReading();
    // Let the queued frames drain: until nothing new arrives for a while.
    for (std::size_t before = 0, now = 1; before != now;) {
        before = client->packets().size();
        std::this_thread::sleep_for(250ms);
        now = client->packets().size();
    }
    // With room again, the first delta still refused asks the capture for a key picture.
    const int before = requests;
    handler(deltaFrame);
    EXPECT_EQ(requests, before + 1);
    handler(keyFrame);
    handler(deltaFrame);
    EXPECT_EQ(requests, before + 1);
    auto packets = client->waitUntil(
        [](const auto& packets) { return !packets.empty() && packets.back().data == deltaFrame; });
    ASSERT_GE(packets.size(), 3u);
    EXPECT_LT(packets.size(), 40u);  // some of the big frames were refused
    EXPECT_EQ(packets[packets.size() - 2].data, keyFrame);
    EXPECT_EQ(packets[packets.size() - 3].data->size(), big.size());  // the delta before: dropped
}

TEST(VideoServerHelpers, HostOfAnEndpoint) {
    EXPECT_EQ(VideoServer::hostOf("127.0.0.1:8790"), "127.0.0.1");
    EXPECT_EQ(VideoServer::hostOf("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(VideoServer::hostOf("[::1]:8790"), "::1");
    EXPECT_EQ(VideoServer::hostOf("fe80::1"), "fe80::1");
}

}  // namespace
