#include "comm/CamServer.h"
#include "comm/CameraRelay.h"

#include "base/testing/Eventually.h"
#include "base/testing/LogCapture.h"
#include "base/testing/ManualClock.h"
#include "client/StreamClient.h"
#include "comm/testing/ReceiveLoopChecks.h"
#include "comm/testing/TestIdentity.h"
#include "platform/cameradevices/fake/FakeCameraDevices.h"
#include "platform/network/fake/FakeConnection.h"
#include "platform/notify/fake/InProcessNotifyCenter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using namespace vl;
using namespace std::chrono_literals;

namespace {

const std::string uid = CamServer::camDeviceUID;
const std::string format720 = "com.corvane.cam.persona.format.1280x720";
const std::string format1080 = "com.corvane.cam.persona.format.1920x1080";
const std::string formatStop = "com.corvane.cam.persona.format.stop";

Bytes videoPacket(Bytes payload) {
    return Packet(PacketType::pktVideoStreamData, InteractionType::rdpVideo, std::move(payload))
        .encode();
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

class CamServerTest : public ::testing::Test {
  protected:
    void TearDown() override { server->stop(); }

    // A connection from `remote` that reached the ready state on the server.
    std::shared_ptr<FakeConnection> connect(const std::string& remote = "127.0.0.1:50000") {
        auto connection = std::make_shared<FakeConnection>(remote);
        server->handleConnection(connection);
        connection->setState(ConnectionState::ready);
        return connection;
    }
    std::vector<Packet> sentPackets(const FakeConnection& connection) {
        std::vector<Packet> packets;
        for (const auto& sent : connection.sent())
            if (auto packet = Packet::decode(sent.data)) packets.push_back(*packet);
        return packets;
    }

    vl::testing::LogCapture log;
    std::shared_ptr<InProcessNotifyCenter> notify = std::make_shared<InProcessNotifyCenter>();
    std::shared_ptr<FakeCameraDevices> devices = std::make_shared<FakeCameraDevices>();
    std::shared_ptr<CamServer> server =
        CamServer::make(0, std::make_shared<DispatchQueue>("camServerQueue"), "CamServer",
                        vl::testing::testIdentity, nullptr, {notify, devices});
};

TEST_F(CamServerTest, PacketsAreCutFromAnyChunkingAndAnImplausibleLengthEmptiesTheBuffer) {
    devices->addDevice(uid, 42);
    CamServer::ReceiveBuffer buffer;
    const Bytes first = videoPacket(Bytes(100, 1));
    const Bytes second = videoPacket(Bytes(3000, 2));

    // Two packets in one receive.
    server->received(buffer, concat({first, second}));
    ASSERT_EQ(devices->frames().size(), 2u);
    EXPECT_EQ(devices->frames()[1].frame, Bytes(3000, 2));
    EXPECT_EQ(devices->frames()[1].device, 42u);

    // One packet over three receives: only forwarded once complete.
    const Bytes third = videoPacket(Bytes(500, 3));
    server->received(buffer, ByteView(third).subspan(0, 10));
    server->received(buffer, ByteView(third).subspan(10, 200));
    EXPECT_EQ(devices->frames().size(), 2u);
    server->received(buffer, ByteView(third).subspan(210));
    ASSERT_EQ(devices->frames().size(), 3u);
    EXPECT_EQ(buffer.size(), 0u);

    // A header announcing 5,000,000 bytes: out of step; what is buffered goes.
    Bytes bogus = Packet(PacketType::pktVideoStreamData, InteractionType::rdpVideo).encode();
    bogus[18] = 0x00, bogus[19] = 0x4c, bogus[20] = 0x4b, bogus[21] = 0x40;  // 5,000,000
    server->received(buffer, concat({bogus, Bytes(64, 0)}));
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_TRUE(
        log.contains("Cam stream desync: implausible packet length 5000000; resetting buffer", 2s));
    // The next bytes start a packet: the stream is in step again.
    server->received(buffer, first);
    EXPECT_EQ(devices->frames().size(), 4u);
    const auto counters = server->counters();
    EXPECT_EQ(counters.videoPacketCount, 4);
    EXPECT_EQ(counters.pushedFrameCount, 4);
    EXPECT_EQ(counters.rxByteTotal, static_cast<std::int64_t>(first.size() * 2 + second.size() +
                                                              third.size() + bogus.size() + 64));
}

TEST_F(CamServerTest, OnlyVideoPacketsReachTheDeviceWhichIsLookedUpUntilFoundThenKept) {
    CamServer::ReceiveBuffer buffer;
    const Bytes control =
        Packet(PacketType::pktInteractiveTap, InteractionType::camStart, bytesOf("x")).encode();
    server->received(buffer, control);
    EXPECT_EQ(server->counters().ignoredPacketCount, 1);
    EXPECT_EQ(devices->lookups(), 0);
    EXPECT_TRUE(
        log.contains("⚠️ CamServer: ignored packet #1 (type=.pktInteractiveTap, "
                     "subType=.camStart) — expected type=.pktVideoStreamData "
                     "subType=.rdpVideo",
                     2s));

    // No device yet (the daemon is not running): each frame is dropped, and each looks again.
    server->received(buffer, concat({videoPacket({1}), videoPacket({2})}));
    EXPECT_EQ(server->counters().resolveFailureCount, 2);
    EXPECT_EQ(devices->lookups(), 2);
    EXPECT_TRUE(log.contains(
        "❌ CamServer: no camDevice for UID " + uid + " — cannot forward frame #1", 2s));

    devices->addDevice(uid, 7);
    server->received(buffer, concat({videoPacket({3}), videoPacket({4}), videoPacket({5})}));
    EXPECT_EQ(devices->lookups(), 3);  // resolved once, then kept
    ASSERT_EQ(devices->frames().size(), 3u);
    EXPECT_EQ(devices->frames()[0].frame, Bytes{3});
    EXPECT_TRUE(log.contains("✅ CamServer: resolved camDevice 7 for UID " + uid, 2s));

    // A failed write is reported and the next frame is tried anyway: the daemon went away, so
    // the device is looked up again and, found again, shown again (the new daemon has not seen
    // the session's show).
    devices->failWritesWith(CameraStatus::writeFailed);
    server->received(buffer, videoPacket({6}));
    EXPECT_TRUE(log.contains("CamServer: pushEncoded set status=3 hasProperty=true", 2s));
    EXPECT_TRUE(notify->posted().empty());
    devices->failWritesWith(CameraStatus::noErr);
    server->received(buffer, videoPacket({7}));
    EXPECT_EQ(devices->lookups(), 4);
    EXPECT_EQ(notify->posted(), std::vector<std::string>{CamServer::showDeviceName});
    ASSERT_EQ(devices->frames().size(), 4u);
    EXPECT_EQ(devices->frames()[3].frame, Bytes{7});
}

TEST_F(CamServerTest, FormatNotificationsBecomeCamStartAndCamStopForTheConnectedClientOnly) {
    // No client yet: reported, nothing sent, nothing kept for later.
    notify->post(format1080);
    EXPECT_TRUE(
        log.contains("⚠️ CamServer: format change (1920x1080) but NO active client "
                     "connection — cannot send start/stop. No client has connected to "
                     "port ",
                     2s));

    auto client = connect();
    ASSERT_EQ(server->activeConnection(), client);
    EXPECT_TRUE(log.contains("✅ CamServer: connection READY on port ", 2s));
    EXPECT_TRUE(sentPackets(*client).empty());

    notify->post(format1080);
    notify->post(formatStop);
    notify->post("com.corvane.cam.persona.format.640x480");  // not observed
    auto packets = sentPackets(*client);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].type, PacketType::pktInteractiveTap);
    EXPECT_EQ(packets[0].subType, InteractionType::camStart);
    EXPECT_EQ(packets[0].data, bytesOf("1920x1080"));
    EXPECT_EQ(packets[1].subType, InteractionType::camStop);
    EXPECT_FALSE(packets[1].data.has_value());
    EXPECT_NE(packets[0].packetId, packets[1].packetId);
    EXPECT_TRUE(log.contains("CamServer: packet sent (subType=.camStart)", 2s));

    // The client goes: later changes are only reported.
    client->setState(ConnectionState::cancelled);
    EXPECT_EQ(server->activeConnection(), nullptr);
    client->clearSent();
    notify->post(format720);
    EXPECT_TRUE(sentPackets(*client).empty());
    EXPECT_TRUE(log.contains("format change (1280x720) but NO active client", 2s));
}

TEST_F(CamServerTest, AStrangersConnectionIsRefusedWhileAClientIsKnown) {
    auto gated = CamServer::make(0, std::make_shared<DispatchQueue>("camServerQueue"), "CamServer",
                                 vl::testing::testIdentity, std::make_shared<ClientGate>(),
                                 {notify, devices});
    gated->setAuthorizedClientAddress("192.0.2.7:8788");
    auto stranger = std::make_shared<FakeConnection>("192.0.2.66:40000");
    gated->handleConnection(stranger);
    stranger->setState(ConnectionState::ready);
    EXPECT_EQ(gated->activeConnection(), nullptr);
    EXPECT_EQ(stranger->state(), ConnectionState::cancelled);

    auto client = std::make_shared<FakeConnection>("192.0.2.7:50123");
    gated->handleConnection(client);
    client->setState(ConnectionState::ready);
    EXPECT_EQ(gated->activeConnection(), client);
    // Another client authenticates: the old one's camera connection is dropped.
    gated->setAuthorizedClientAddress("192.0.2.8");
    EXPECT_EQ(gated->activeConnection(), nullptr);
    EXPECT_EQ(client->state(), ConnectionState::cancelled);
    gated->stop();
}

TEST(PersonaFormatObserver, ParsesSizesAfterTheLastDotTakesTheStopNameAndIgnoresTheRest) {
    auto notify = std::make_shared<InProcessNotifyCenter>();
    std::vector<std::pair<int, int>> seen;
    PersonaFormatObserver observer(notify, PersonaFormatObserver::cameraNames(),
                                   [&](int w, int h) { seen.emplace_back(w, h); });
    for (const char* name : {"com.corvane.cam.persona.format.1920x1080", "a.b.640x480", "800x600",
                             "com.corvane.cam.persona.format.stop", "x.12x", "x.x34", "x.1x2x3",
                             "x.12 x34", "x.0x0x", "x.abcxdef", "x.1280X720"})
        observer.handle(name);
    const std::vector<std::pair<int, int>> expected = {
        {1920, 1080}, {640, 480}, {800, 600}, {0, 0}};
    EXPECT_EQ(seen, expected);

    // Started twice, it observes each name once; stopped, it observes nothing.
    seen.clear();
    observer.start();
    observer.start();
    EXPECT_EQ(notify->observerCount(), 3u);
    notify->post("com.corvane.cam.persona.format.1280x720");
    EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{1280, 720}}));
    observer.stop();
    EXPECT_EQ(notify->observerCount(), 0u);
    notify->post("com.corvane.cam.persona.format.stop");
    EXPECT_EQ(seen.size(), 1u);
}

TEST(CameraRelay, ShowsTheDeviceWhileRelayingOverQuicAndHidesItAfter) {
    vl::testing::LogCapture log;
    auto notify = std::make_shared<InProcessNotifyCenter>();
    auto devices = std::make_shared<FakeCameraDevices>();
    devices->addDevice(CamServer::camDeviceUID, 3);
    CameraRelay relay(vl::testing::testIdentity, {notify, devices});
    relay.startVisionProCam({0, std::make_shared<ClientGate>()});
    auto server = relay.camServer();
    ASSERT_TRUE(server && server->isListening());
    EXPECT_EQ(notify->posted(), std::vector<std::string>{CameraRelay::showDeviceName});
    EXPECT_TRUE(
        log.contains("Camera server started on port: " + std::to_string(server->boundPort()), 2s));

    auto client = StreamClient::connect("127.0.0.1", server->boundPort(), StreamOptions::media());
    ASSERT_TRUE(client->waitForState(ConnectionState::ready));
    // The stream is open once the client has sent on it; the first frame does that.
    const Bytes frame(9000, 0x5a);
    client->send(Packet(PacketType::pktVideoStreamData, InteractionType::rdpVideo, frame));
    ASSERT_TRUE(vl::testing::eventually([&] { return devices->frames().size() == 1; }, 10s));
    EXPECT_EQ(devices->frames()[0].frame, frame);

    notify->post(format720);
    auto start = client->waitFor(
        [](const Packet& p) { return p.subType == InteractionType::camStart; }, 10s);
    ASSERT_TRUE(start);
    EXPECT_EQ(start->data, bytesOf("1280x720"));

    relay.stopVisionProCam();
    EXPECT_EQ(notify->posted().back(), CameraRelay::hideDeviceName);
    EXPECT_FALSE(server->isListening());
    EXPECT_TRUE(server->stopRequested());
    EXPECT_EQ(notify->observerCount(), 0u);
    EXPECT_EQ(relay.camServer(), nullptr);
    relay.stopVisionProCam();  // a second stop changes nothing
    const std::vector<std::string> posted = {CameraRelay::showDeviceName, format720,
                                             CameraRelay::hideDeviceName};
    EXPECT_EQ(notify->posted(), posted);
}

TEST(CameraRelay, ADaemonThatLostTheDeviceMidSessionIsAskedToShowItAgain) {
    vl::testing::LogCapture log;
    auto notify = std::make_shared<InProcessNotifyCenter>();
    auto devices = std::make_shared<FakeCameraDevices>();
    devices->addDevice(CamServer::camDeviceUID, 3);
    vl::testing::ManualClock clock;
    CameraRelay relay(vl::testing::testIdentity, {notify, devices}, 20ms, clock);
    auto shows = [&] {
        auto posted = notify->posted();
        return std::count(posted.begin(), posted.end(), CameraRelay::showDeviceName);
    };
    relay.startVisionProCam({0, std::make_shared<ClientGate>()});
    clock.advance(60ms);
    ASSERT_GE(devices->lookups(), 3);
    EXPECT_EQ(shows(), 1) << "a daemon that shows the device is left alone";

    // The daemon restarted: it answers, but without the device.
    devices->removeDevice(CamServer::camDeviceUID);
    clock.advance(20ms);
    ASSERT_EQ(shows(), 2);
    EXPECT_TRUE(log.contains("The camera daemon answers without the camera: showing it again"));
    devices->addDevice(CamServer::camDeviceUID, 4);
    const int lookups = devices->lookups();
    clock.advance(60ms);
    ASSERT_GE(devices->lookups(), lookups + 3);
    EXPECT_EQ(shows(), 2);

    // After the session nothing is shown again, whatever the daemon says.
    relay.stopVisionProCam();
    devices->removeDevice(CamServer::camDeviceUID);
    const int stopped = devices->lookups();
    clock.advance(100ms);
    EXPECT_EQ(devices->lookups(), stopped);
    EXPECT_EQ(notify->posted().back(), CameraRelay::hideDeviceName);
}

TEST_F(CamServerTest, AStreamEndedOrResetByThePeerIsReceivedFromNoMore) {
    vl::testing::expectNoReceiveAfterTheStreamEnds(*server);
}

}  // namespace
