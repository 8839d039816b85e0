#include "comm/ControlServer.h"

#include "app/AppDelegate.h"
#include "app/SystemInfo.h"
#include "base/Base64.h"
#include "comm/DisplayDescriptor.h"
#include "comm/SpeedTestServer.h"
#include "platform/defaults/fake/MemoryDefaults.h"
#include "platform/host/fake/FakeHostFacts.h"
#include "platform/network/fake/FakeConnection.h"
#include "platform/power/fake/FakePower.h"
#include "platform/security/fake/MemoryKeychain.h"

#include <gtest/gtest.h>

#include <thread>

using namespace vl;
using namespace std::chrono_literals;

namespace {

ConnectReq request(std::string device, std::string passwordBase64) {
    ConnectReq r;
    r.clientType = 1;
    r.clientVersion = "1.0";
    r.clientDeviceID = std::move(device);
    r.clientDeviceName = "Headset";
    r.password = std::move(passwordBase64);
    return r;
}

Bytes framed(InteractionType subType, const std::string& payload = {}) {
    return Packet(PacketType::pktInteractiveTap, subType, bytesOf(payload)).encode();
}

Bytes connectPacket(const std::string& device, const std::string& password) {
    return framed(InteractionType::connect, request(device, base64Encode(password)).toJson());
}

// Every packet the server sent on the connection, decoded (bare keepalive bytes are skipped).
std::vector<Packet> packetsSent(const FakeConnection& connection) {
    std::vector<Packet> packets;
    for (const auto& sent : connection.sent())
        if (auto p = Packet::decode(sent.data)) packets.push_back(*p);
    return packets;
}

class ControlServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        SystemInfo::configure({defaults, keychain, power, host});
        host->name = "mac";
        app->applicationDidFinishLaunching();
        setApp(app);
        server = std::make_shared<ControlServer>(8788, queue, "ControlServer");
        server->observeClientDisconnect();
        disconnectToken = NotificationCenter::defaultCenter().addObserver(
            clientDisconnectNotification, [this](const std::any&) { ++disconnectPosts; });
    }
    void TearDown() override {
        NotificationCenter::defaultCenter().removeObserver(disconnectToken);
        app->applicationWillTerminate();
        setApp(nullptr);
        SystemInfo::restoreSystemSleepOrLock();
    }

    std::shared_ptr<FakeConnection> readyConnection(std::string remote = "127.0.0.1:50000") {
        auto connection = std::make_shared<FakeConnection>(remote);
        server->handleConnection(connection);
        connection->setState(ConnectionState::ready);
        return connection;
    }

    std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
    std::shared_ptr<MemoryKeychain> keychain = std::make_shared<MemoryKeychain>();
    std::shared_ptr<FakePower> power = std::make_shared<FakePower>();
    std::shared_ptr<FakeHostFacts> host = std::make_shared<FakeHostFacts>();
    std::shared_ptr<AppDelegate> app = std::make_shared<AppDelegate>(AppDelegate::Hooks{});
    std::shared_ptr<DispatchQueue> queue = std::make_shared<DispatchQueue>("ControlRequestQueue");
    std::shared_ptr<ControlServer> server;
    NotificationCenter::Token disconnectToken = 0;
    int disconnectPosts = 0;
};

}  // namespace

TEST_F(ControlServerTest, RightPasswordIsAnsweredWithIdentityAndMakesTheClientKnown) {
    defaults->set("password", std::string("s3cret"));
    auto connection = readyConnection();
    EXPECT_EQ(connection->startedOn, &DispatchQueue::global());
    ASSERT_TRUE(connection->deliver(connectPacket("device-A", "s3cret")));

    auto answers = packetsSent(*connection);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].type, PacketType::pktInteractiveTap);
    EXPECT_EQ(answers[0].subType, InteractionType::ret200);
    EXPECT_EQ(stringOf(*answers[0].data), SystemInfo::appUniqueID() + "|mac");
    EXPECT_TRUE(connection->sent()[0].isComplete);
    EXPECT_EQ(app->currentConnectedClient(), "device-A");
    EXPECT_EQ(server->activeConnection(), connection);
    EXPECT_EQ(power->activeDisplayAssertions(), 1u);

    // The same device again, on a new connection, is accepted and takes over.
    auto again = readyConnection("127.0.0.1:50001");
    again->deliver(connectPacket("device-A", "s3cret"));
    EXPECT_EQ(packetsSent(*again).at(0).subType, InteractionType::ret200);
    EXPECT_EQ(server->activeConnection(), again);
}

TEST_F(ControlServerTest, BadCredentialsAreAnsweredRet400AndChangeNothing) {
    auto connection = readyConnection();
    connection->deliver(framed(InteractionType::connect,
                               request("device-A", base64Encode(std::string("wrong"))).toJson()));
    connection->deliver(framed(InteractionType::connect, request("device-A", "").toJson()));
    connection->deliver(framed(InteractionType::connect, request("device-A", "not base64!").toJson()));
    connection->deliver(framed(InteractionType::connect, "{\"clientType\": 1}"));
    connection->deliver(framed(InteractionType::connect));
    // The right password differing only in case.
    connection->deliver(connectPacket("device-A", "ez3Kq$vn"));
    auto answers = packetsSent(*connection);
    ASSERT_EQ(answers.size(), 6u);
    for (const auto& answer : answers) EXPECT_EQ(answer.subType, InteractionType::ret400);
    EXPECT_FALSE(app->currentConnectedClient());
    EXPECT_FALSE(server->activeConnection());
    EXPECT_EQ(power->displayAssertionsCreated, 0);

    // After a refusal the connection may try again; with nothing stored the default applies.
    connection->deliver(connectPacket("device-A", "Ez3Kq$vn"));
    EXPECT_EQ(packetsSent(*connection).back().subType, InteractionType::ret200);
}

TEST_F(ControlServerTest, SecondDeviceIsBusyAndCannotDisturbTheKnownClient) {
    auto first = readyConnection();
    first->deliver(connectPacket("device-A", "Ez3Kq$vn"));
    first->clearSent();

    auto stranger = readyConnection("127.0.0.1:50002");
    stranger->deliver(connectPacket("device-B", "Ez3Kq$vn"));
    EXPECT_EQ(packetsSent(*stranger).at(0).subType, InteractionType::retBusy);
    EXPECT_EQ(app->currentConnectedClient(), "device-A");
    EXPECT_EQ(server->activeConnection(), first);

    // Without authentication every other message is ignored and nothing is sent back.
    stranger->clearSent();
    ConnectReq byeA = request("device-A", "");
    stranger->deliver(framed(InteractionType::disconnect, byeA.toJson()));
    stranger->deliver(framed(InteractionType::rdpStop));
    stranger->deliver(framed(InteractionType::speedTest));
    stranger->deliver(framed(InteractionType::keepLive));
    EXPECT_TRUE(stranger->sent().empty());
    EXPECT_FALSE(server->speedTestServer());
    EXPECT_EQ(app->currentConnectedClient(), "device-A");

    // The stranger's connection failing tears nothing down.
    stranger->setState(ConnectionState::failed, NetworkError{NetworkError::Code::timedOut, ""});
    EXPECT_EQ(server->activeConnection(), first);
    EXPECT_EQ(app->currentConnectedClient(), "device-A");
    EXPECT_EQ(disconnectPosts, 0);
    EXPECT_EQ(power->activeDisplayAssertions(), 1u);
    EXPECT_TRUE(first->sent().empty());
}

TEST_F(ControlServerTest, DisconnectOnlyFromTheKnownDeviceEndsTheSession) {
    auto connection = readyConnection();
    connection->deliver(connectPacket("device-A", "Ez3Kq$vn"));
    connection->clearSent();

    connection->deliver(framed(InteractionType::disconnect, request("device-B", "").toJson()));
    connection->deliver(framed(InteractionType::disconnect, "garbage"));
    EXPECT_EQ(app->currentConnectedClient(), "device-A");
    EXPECT_EQ(disconnectPosts, 0);

    connection->deliver(framed(InteractionType::disconnect, request("device-A", "").toJson()));
    EXPECT_FALSE(app->currentConnectedClient());
    EXPECT_EQ(disconnectPosts, 1);
    EXPECT_EQ(power->activeDisplayAssertions(), 0u);
    // The session end tells the client with a bare disconnect packet; the link stays open.
    auto sent = packetsSent(*connection);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].subType, InteractionType::disconnect);
    EXPECT_FALSE(sent[0].data);
    EXPECT_EQ(connection->state(), ConnectionState::ready);
}

TEST_F(ControlServerTest, ActiveConnectionFailingEndsTheSessionAndPostsDisconnectOnce) {
    auto connection = readyConnection();
    connection->deliver(connectPacket("device-A", "Ez3Kq$vn"));
    connection->setState(ConnectionState::failed,
                         NetworkError{NetworkError::Code::closedByPeer, ""});
    EXPECT_EQ(disconnectPosts, 1);
    EXPECT_FALSE(app->currentConnectedClient());
    EXPECT_FALSE(server->activeConnection());
    EXPECT_EQ(power->activeDisplayAssertions(), 0u);
    EXPECT_FALSE(app->iconConnected());
    connection->setState(ConnectionState::cancelled);
    EXPECT_EQ(disconnectPosts, 1);
}

TEST_F(ControlServerTest, ReceiveLoopStopsWhenTheConnectionEndsAndSurvivesErrorsWhileReady) {
    auto connection = readyConnection();
    EXPECT_EQ(connection->receivesArmed, 1);
    connection->failReceive(NetworkError{NetworkError::Code::transportError, ""});
    EXPECT_TRUE(connection->hasPendingReceive());  // still ready: re-armed
    // Packets split across receives and several in one receive are all dispatched.
    Bytes stream = connectPacket("device-A", "wrong");
    Bytes second = connectPacket("device-A", "wrong");
    stream.insert(stream.end(), second.begin(), second.end());
    connection->deliver(Bytes(stream.begin(), stream.begin() + 10));
    connection->deliver(Bytes(stream.begin() + 10, stream.end()));
    EXPECT_EQ(packetsSent(*connection).size(), 2u);

    connection->setState(ConnectionState::cancelled);
    connection->deliver(Bytes{1});
    EXPECT_FALSE(connection->hasPendingReceive());
}

TEST_F(ControlServerTest, KeepaliveSendsOneZeroByteAtEachIntervalToTheAuthenticatedClient) {
    server->setKeepaliveInterval(20ms);
    auto connection = readyConnection();
    connection->deliver(connectPacket("device-A", "Ez3Kq$vn"));
    auto keepalives = [&] {
        int count = 0;
        for (const auto& sent : connection->sent())
            if (sent.data == Bytes{0x00} && sent.isComplete) ++count;
        return count;
    };
    for (int i = 0; i < 500 && keepalives() < 3; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_GE(keepalives(), 3);

    // A connection that never authenticated gets none.
    auto stranger = readyConnection("127.0.0.1:50003");
    std::this_thread::sleep_for(80ms);
    EXPECT_TRUE(stranger->sent().empty());
}

TEST_F(ControlServerTest, ServerInitiatedMessagesGoOnlyToAReadyActiveClient) {
    ClipboardEvent event;
    event.shareId = "S";
    event.type = ZuPBTypes::text;
    event.data = bytesOf("abc");
    server->sendClipboardToActiveClient(event);  // no client: nothing, no crash

    auto connection = readyConnection();
    connection->deliver(connectPacket("device-A", "Ez3Kq$vn"));
    connection->clearSent();
    server->sendClipboardToActiveClient(event);
    server->sendActiveWindowToActiveClient(ActiveWindowInfo{"S"});
    auto sent = packetsSent(*connection);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].subType, InteractionType::clipboard);
    EXPECT_EQ(ClipboardEvent::fromJson(*sent[0].data)->data, bytesOf("abc"));
    EXPECT_EQ(sent[1].subType, InteractionType::activeWindowOnDisplay);
}

TEST_F(ControlServerTest, ExtraDisplaySlotsMapToPortsSixToNineAboveControl) {
    EXPECT_FALSE(server->monitorPort(0));
    EXPECT_EQ(server->monitorPort(1), 8794);
    EXPECT_EQ(server->monitorPort(4), 8797);
    EXPECT_FALSE(server->monitorPort(5));
    EXPECT_EQ(server->monitorIndex(8797), 4);
    EXPECT_FALSE(server->monitorIndex(8798));
    EXPECT_FALSE(server->monitorIndex(8793));
    server->setMonitorOccupied(2);
    server->setMonitorOccupied(4);
    server->setMonitorOccupied(5);
    EXPECT_EQ(server->extraDisplayMask(), 0b1010);
    server->clearMonitorOccupied(2);
    server->clearMonitorOccupied(0);
    EXPECT_EQ(server->extraDisplayMask(), 0b1000);
}

TEST_F(ControlServerTest, SpeedTestRequestIsAnsweredWithPortAndLengthUnderTheRequestId) {
    auto connection = readyConnection();
    connection->deliver(connectPacket("device-A", "Ez3Kq$vn"));
    connection->clearSent();
    Packet ask(PacketType::pktInteractiveTap, InteractionType::speedTest);
    connection->deliver(ask.encode());
    auto sent = packetsSent(*connection);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].packetId, ask.packetId);
    EXPECT_EQ(sent[0].subType, InteractionType::speedTest);
    EXPECT_EQ(stringOf(*sent[0].data), "port:8791 length:1000000000");
    auto speedTest = server->speedTestServer();
    ASSERT_TRUE(speedTest);
    connection->deliver(framed(InteractionType::speedTestStop));
    EXPECT_TRUE(speedTest->stopRequested);
    EXPECT_FALSE(server->speedTestServer());
}
