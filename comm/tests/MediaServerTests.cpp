// The connection life every media port shares: the gate, the one active connection, its end.
#include "comm/MediaServer.h"

#include "platform/network/fake/FakeConnection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace vl {
namespace {

const char* name(MediaServer::ConnectionEvent event) {
    using Event = MediaServer::ConnectionEvent;
    switch (event) {
        case Event::incoming:
            return "incoming";
        case Event::setup:
            return "setup";
        case Event::preparing:
            return "preparing";
        case Event::waiting:
            return "waiting";
        case Event::ready:
            return "ready";
        case Event::failed:
            return "failed";
        case Event::cancelled:
            return "cancelled";
        case Event::refused:
            return "refused";
        case Event::dropped:
            return "dropped";
    }
    return "?";
}

class RecordingServer final : public MediaServer {
  public:
    using MediaServer::MediaServer;

    void receivePacket(const std::shared_ptr<Connection>& connection) override {
        receivesArmed.push_back(connection->remoteAddress());
    }
    bool identify(const std::shared_ptr<Connection>& connection) { return admit(connection); }

    bool accepting = true;
    std::vector<std::string> events;
    std::vector<std::string> receivesArmed;
    std::vector<std::string> admitted;
    std::vector<std::string> ended;

  protected:
    bool acceptsConnections() const override { return accepting; }
    void connectionAdmitted(const std::shared_ptr<Connection>& connection) override {
        admitted.push_back(connection->remoteAddress());
    }
    void connectionEnded(const std::shared_ptr<Connection>& connection) override {
        ended.push_back(connection->remoteAddress());
    }
    void reportConnection(ConnectionEvent event, const Connection& connection,
                          const std::optional<NetworkError>&) override {
        if (event == ConnectionEvent::preparing) return;
        events.push_back(std::string(name(event)) + " " + connection.remoteAddress());
    }
};

class MediaServerTest : public ::testing::Test {
  protected:
    std::shared_ptr<RecordingServer> make(
        MediaServer::Admission admission = MediaServer::Admission::whenReady) {
        return std::make_shared<RecordingServer>(0, queue, "TestServer", nullptr, gate, admission);
    }
    std::shared_ptr<FakeConnection> connect(RecordingServer& server, const std::string& from) {
        auto connection = std::make_shared<FakeConnection>(from);
        server.handleConnection(connection);
        connection->setState(ConnectionState::ready);
        return connection;
    }

    std::shared_ptr<DispatchQueue> queue = std::make_shared<DispatchQueue>("MediaServerTestQueue");
    std::shared_ptr<ClientGate> gate = std::make_shared<ClientGate>();
};

TEST_F(MediaServerTest, OnlyTheClientsAddressIsAdmittedTheNewestWinsAndAnEndedOneIsForgotten) {
    auto server = make();
    gate->setAuthorizedClientAddress("10.0.0.5");

    auto stranger = connect(*server, "10.0.0.9:4000");
    EXPECT_EQ(stranger->state(), ConnectionState::cancelled);
    EXPECT_EQ(server->activeConnection(), nullptr);

    auto first = connect(*server, "10.0.0.5:4001");
    auto second = connect(*server, "10.0.0.5:4002");
    EXPECT_EQ(server->activeConnection(), second);
    first->cancel();  // the older one ending leaves the newer one active
    EXPECT_EQ(server->activeConnection(), second);
    second->setState(ConnectionState::failed, NetworkError{NetworkError::Code::closedByPeer, ""});
    EXPECT_EQ(server->activeConnection(), nullptr);

    EXPECT_EQ(server->events,
              (std::vector<std::string>{
                  "incoming 10.0.0.9:4000", "refused 10.0.0.9:4000", "cancelled 10.0.0.9:4000",
                  "incoming 10.0.0.5:4001", "ready 10.0.0.5:4001", "incoming 10.0.0.5:4002",
                  "ready 10.0.0.5:4002", "cancelled 10.0.0.5:4001", "failed 10.0.0.5:4002"}));
    // Only admitted connections are read from.
    EXPECT_EQ(server->receivesArmed, (std::vector<std::string>{"10.0.0.5:4001", "10.0.0.5:4002"}));
    EXPECT_EQ(server->admitted, server->receivesArmed);
    EXPECT_EQ(server->ended,
              (std::vector<std::string>{"10.0.0.9:4000", "10.0.0.5:4001", "10.0.0.5:4002"}));
}

TEST_F(MediaServerTest, AGateChangeDropsTheActiveConnectionItNoLongerAdmits) {
    auto server = make();
    auto early = connect(*server, "10.0.0.7:4000");  // before any client is known: admitted
    EXPECT_EQ(server->activeConnection(), early);

    gate->setAuthorizedClientAddress("10.0.0.7");  // the same client: stays
    EXPECT_EQ(server->activeConnection(), early);
    gate->setAuthorizedClientAddress("10.0.0.5");
    EXPECT_EQ(server->activeConnection(), nullptr);
    EXPECT_EQ(early->state(), ConnectionState::cancelled);
    EXPECT_EQ(std::count(server->events.begin(), server->events.end(), "dropped 10.0.0.7:4000"), 1);
}

TEST_F(MediaServerTest, AnIdentifiedServerAdmitsOnlyWhenToldAndAStoppedOneAdmitsNone) {
    auto server = make(MediaServer::Admission::whenIdentified);
    auto connection = connect(*server, "10.0.0.5:4000");
    EXPECT_EQ(server->receivesArmed.size(), 1u);  // read to hear from it
    EXPECT_EQ(server->activeConnection(), nullptr);
    EXPECT_TRUE(server->identify(connection));
    EXPECT_EQ(server->activeConnection(), connection);

    server->accepting = false;
    auto late = connect(*server, "10.0.0.5:4001");
    EXPECT_FALSE(server->identify(late));
    EXPECT_EQ(late->state(), ConnectionState::cancelled);
    EXPECT_EQ(server->activeConnection(), connection);
}

}  // namespace
}  // namespace vl
