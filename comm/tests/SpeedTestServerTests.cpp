#include "comm/SpeedTestServer.h"

#include "comm/testing/ReceiveLoopChecks.h"
#include "comm/testing/TestIdentity.h"
#include "platform/network/fake/FakeConnection.h"

#include <gtest/gtest.h>

using namespace vl;

namespace {

struct Tally {
    int packets = 0;
    std::int64_t payload = 0;
    std::vector<std::uint32_t> lengths;
};

Tally tally(const FakeConnection& connection) {
    Tally t;
    for (const auto& sent : connection.sent()) {
        auto packet = Packet::decode(sent.data);
        if (!packet || packet->type != PacketType::pktSpeedTestData) continue;
        EXPECT_EQ(packet->subType, InteractionType::speedTest);
        EXPECT_EQ(sent.data.size(), Packet::headerSize + packet->length);
        ++t.packets;
        t.payload += packet->length;
        t.lengths.push_back(packet->length);
    }
    return t;
}

class SpeedTestServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server = std::make_shared<SpeedTestServer>(0, queue, "SpeedTestServer", nullptr);
        server->testDataSize = 10000;  // 4076 + 4076 + 1848
        server->handleConnection(connection);
        connection->setState(ConnectionState::ready);
    }
    // A connection waiting to receive holds itself, and the server, until it ends.
    void TearDown() override { connection->cancel(); }
    Bytes startRequest() {
        return Packet(PacketType::pktInteractiveTap, InteractionType::speedTestStart).encode();
    }

    std::shared_ptr<DispatchQueue> queue = std::make_shared<DispatchQueue>("SpeedTestRequestQueue");
    std::shared_ptr<SpeedTestServer> server;
    std::shared_ptr<FakeConnection> connection = std::make_shared<FakeConnection>();
};

}  // namespace

TEST_F(SpeedTestServerTest, StartSendsTheWholeAmountInChunksOfAtMost4076AndAgainOnRequest) {
    connection->deliver(startRequest());
    Tally first = tally(*connection);
    EXPECT_EQ(first.packets, 3);
    EXPECT_EQ(first.payload, 10000);
    EXPECT_EQ(first.lengths, (std::vector<std::uint32_t>{4076, 4076, 1848}));
    // Every payload is a prefix of the one random chunk.
    const Bytes& chunk = server->speedTestChunk();
    EXPECT_EQ(chunk.size(), 1048576u);
    auto packet = Packet::decode(connection->sent()[2].data);
    EXPECT_TRUE(std::equal(packet->data->begin(), packet->data->end(), chunk.begin()));

    connection->deliver(startRequest());
    EXPECT_EQ(tally(*connection).payload, 20000);
}

TEST_F(SpeedTestServerTest, OtherPacketsAreIgnoredAndStopEndsTheStreamWithinOneChunk) {
    connection->deliver(Packet(PacketType::pktInteractiveTap, InteractionType::speedTest).encode());
    connection->deliver(Bytes{1, 2, 3});
    EXPECT_EQ(tally(*connection).packets, 0);

    server->testDataSize = 1000000000;
    connection->onSend = [&] {
        if (connection->sent().size() == 2) server->stopRequested = true;
    };
    connection->deliver(startRequest());
    EXPECT_EQ(tally(*connection).packets, 2);
}

TEST_F(SpeedTestServerTest, SendErrorEndsTheTest) {
    connection->sendError = NetworkError{NetworkError::Code::closedByPeer, ""};
    connection->deliver(startRequest());
    EXPECT_EQ(tally(*connection).packets, 1);
    EXPECT_EQ(server->dataSent.load(), 0);
}

TEST_F(SpeedTestServerTest, AClientThatEndsItsSideStillGetsTheDataAndNoReceiveTurnsAfter) {
    connection->deliver(startRequest());
    connection->endReading();
    // Completions of an ended stream come on the queue; wait until it has run them.
    queue->sync([] {});
    queue->sync([] {});
    EXPECT_EQ(connection->receivesArmed, 2);
    EXPECT_EQ(tally(*connection).payload, 10000);
}

TEST(SpeedTestServerGateTest, OnlyTheSessionsClientMayTestAndTheListenerClosesWhenTheTestEnds) {
    auto queue = std::make_shared<DispatchQueue>("SpeedTestRequestQueue");
    auto gate = std::make_shared<ClientGate>();
    gate->setAuthorizedClientAddress("127.0.0.1:50000");
    auto server = std::make_shared<SpeedTestServer>(
        0, queue, "SpeedTestServer", [] { return vl::testing::testIdentity(); }, gate);
    server->testDataSize = 10000;
    server->start();
    ASSERT_TRUE(server->isListening());
    const Bytes start =
        Packet(PacketType::pktInteractiveTap, InteractionType::speedTestStart).encode();

    auto stranger = std::make_shared<FakeConnection>("127.0.0.2:50000");
    server->handleConnection(stranger);
    stranger->setState(ConnectionState::ready);
    EXPECT_EQ(stranger->state(), ConnectionState::cancelled);
    EXPECT_FALSE(stranger->deliver(start));
    EXPECT_TRUE(stranger->sent().empty());
    EXPECT_TRUE(server->isListening());

    auto client = std::make_shared<FakeConnection>("127.0.0.1:50123");
    server->handleConnection(client);
    client->setState(ConnectionState::ready);
    client->deliver(start);
    EXPECT_EQ(tally(*client).payload, 10000);
    EXPECT_FALSE(server->isListening());

    // The client leaving mid-test ends it.
    server->start();
    server->testDataSize = 1000000000;
    client->onSend = [&] {
        if (client->sent().size() == 5) gate->setAuthorizedClientAddress(std::nullopt);
    };
    client->deliver(start);
    EXPECT_EQ(client->state(), ConnectionState::cancelled);
    EXPECT_LT(tally(*client).payload, 10000 + 5 * 4076);
    EXPECT_FALSE(server->isListening());
}

TEST_F(SpeedTestServerTest, AStreamEndedOrResetByThePeerIsReceivedFromNoMore) {
    vl::testing::expectNoReceiveAfterTheStreamEnds(*server);
}
