#include "comm/ControlServer.h"

#include "base/Base64.h"
#include "base/testing/Eventually.h"
#include "base/testing/LogCapture.h"
#include "base/testing/MainLoop.h"
#include "base/testing/ManualClock.h"
#include "client/ControlClient.h"
#include "client/StreamClient.h"
#include "comm/DisplayDescriptor.h"
#include "comm/SpeedTestServer.h"
#include "comm/testing/RecordingSessionEnvironment.h"
#include "libPhantomScreen/platform/fake/FakeVirtualDisplays.h"
#include "platform/network/fake/FakeConnection.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

using namespace vl;
using namespace std::chrono_literals;
using vl::testing::eventually;
using vl::testing::RecordingSessionEnvironment;

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
        server = ControlServer::make(8788, queue, "ControlServer", fakes.environment());
        // Answers at once however often a test gets the password wrong; one test sets a delay.
        server->setGuessPolicy({.firstDelay = 0ms});
        disconnectToken = NotificationCenter::defaultCenter().addObserver(
            clientDisconnectNotification, [this](const std::any&) { ++disconnectPosts; });
    }
    void TearDown() override {
        NotificationCenter::defaultCenter().removeObserver(disconnectToken);
        // A connection waiting to receive holds itself through its handler until it ends.
        for (const auto& connection : connections) connection->cancel();
        server.reset();
    }

    std::shared_ptr<FakeConnection> readyConnection(std::string remote = "127.0.0.1:50000") {
        auto connection = std::make_shared<FakeConnection>(remote);
        connections.push_back(connection);
        server->handleConnection(connection);
        connection->setState(ConnectionState::ready);
        return connection;
    }
    std::vector<std::shared_ptr<FakeConnection>> connections;
    // Waits until the work queued on the server's queue so far is done.
    void drain() {
        server->withSession([](SharingSession&) {});
    }

    RecordingSessionEnvironment fakes;
    std::shared_ptr<DispatchQueue> queue = std::make_shared<DispatchQueue>("ControlRequestQueue");
    vl::testing::ManualClock clock;
    std::shared_ptr<ControlServer> server;
    NotificationCenter::Token disconnectToken = 0;
    std::atomic<int> disconnectPosts = 0;
};

}  // namespace

TEST_F(ControlServerTest, RightPasswordIsAnsweredWithIdentityAndMakesTheClientKnown) {
    fakes.settings->setPassword("s3cret");
    auto connection = readyConnection();
    EXPECT_EQ(connection->startedOn.load(), &server->queue());
    ASSERT_TRUE(connection->deliver(connectPacket("device-A", "s3cret")));

    auto answers = packetsSent(*connection);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].type, PacketType::pktInteractiveTap);
    EXPECT_EQ(answers[0].subType, InteractionType::ret200);
    EXPECT_EQ(stringOf(*answers[0].data), fakes.settings->appUniqueID() + "|mac");
    EXPECT_TRUE(connection->sent()[0].isComplete);
    EXPECT_EQ(fakes.shell->currentConnectedClient(), "device-A");
    EXPECT_EQ(server->activeConnection(), connection);
    EXPECT_EQ(fakes.power->active(), 1);

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
    connection->deliver(
        framed(InteractionType::connect, request("device-A", "not base64!").toJson()));
    connection->deliver(framed(InteractionType::connect, "{\"clientType\": 1}"));
    connection->deliver(framed(InteractionType::connect));
    // The right password differing only in case.
    connection->deliver(connectPacket("device-A", "ez3Kq$vn"));
    // Near misses: the last character, a prefix, an extension, the first half right.
    connection->deliver(connectPacket("device-A", "Ez3Kq$vm"));
    connection->deliver(connectPacket("device-A", "Ez3Kq$v"));
    connection->deliver(connectPacket("device-A", "Ez3Kq$vnn"));
    connection->deliver(connectPacket("device-A", "Ez3KXXXX"));
    auto answers = packetsSent(*connection);
    ASSERT_EQ(answers.size(), 10u);
    for (const auto& answer : answers) EXPECT_EQ(answer.subType, InteractionType::ret400);
    EXPECT_FALSE(fakes.shell->currentConnectedClient());
    EXPECT_FALSE(server->activeConnection());
    EXPECT_EQ(fakes.power->prevented, 0);

    // After a refusal the connection may try again.
    connection->deliver(connectPacket("device-A", "Ez3Kq$vn"));
    EXPECT_EQ(packetsSent(*connection).back().subType, InteractionType::ret200);
}

TEST_F(ControlServerTest, RepeatedWrongPasswordsAreAnsweredLaterButTheRightClientIsNot) {
    server->setGuessPolicy({.firstDelay = 2s});
    auto guesser = readyConnection("127.0.0.9:40000");
    guesser->deliver(connectPacket("device-X", "guess-1"));
    ASSERT_EQ(packetsSent(*guesser).size(), 1u);  // the first failure is answered at once

    // The next guess waits its turn, then is refused as before.
    guesser->deliver(connectPacket("device-X", "guess-2"));
    EXPECT_EQ(packetsSent(*guesser).size(), 1u);
    // Meanwhile the client on another address gets in at once.
    auto client = readyConnection("127.0.0.1:50000");
    client->deliver(connectPacket("device-A", "Ez3Kq$vn"));
    ASSERT_EQ(packetsSent(*client).size(), 1u);
    EXPECT_EQ(packetsSent(*client)[0].subType, InteractionType::ret200);

    ASSERT_TRUE(eventually([&] { return packetsSent(*guesser).size() == 2; }));
    EXPECT_EQ(packetsSent(*guesser)[1].subType, InteractionType::ret400);
    EXPECT_EQ(fakes.shell->currentConnectedClient(), "device-A");
}

// Five strangers on one address guess twelve times each, each giving up on an attempt that is
// not answered within 15 s. Once the last has left, the owner on that address is answered within
// the delay's cap, and while they guessed fewer than two guesses a second were judged.
TEST_F(ControlServerTest, AnAbandonedGuessingAttackLeavesTheOwnerAnsweredWithinTheCap) {
    server = ControlServer::make(8788, queue, "ControlServer", fakes.environment(), clock);
    const PasswordGuessThrottle::Policy policy;  // as shipped
    struct Stranger {
        std::shared_ptr<FakeConnection> connection;
        Clock::time_point sentAt;
        int attempts = 0;
    };
    std::vector<Stranger> strangers(5);
    int port = 40000, judged = 0;
    auto guess = [&](Stranger& stranger) {
        stranger.connection = readyConnection("127.0.0.9:" + std::to_string(port++));
        stranger.sentAt = clock.now();
        ++stranger.attempts;
        stranger.connection->deliver(connectPacket("device-X", "guess"));
    };
    const auto attackStart = clock.now();
    for (auto& stranger : strangers) guess(stranger);
    Clock::time_point lastLeft = attackStart;
    for (int busy = 5; busy > 0; clock.advance(100ms)) {
        busy = 0;
        for (auto& stranger : strangers) {
            if (!stranger.connection) continue;
            const bool answered = !packetsSent(*stranger.connection).empty();
            judged += answered;
            if (!answered && clock.now() - stranger.sentAt < 15s) {
                ++busy;
                continue;
            }
            stranger.connection->cancel();
            lastLeft = clock.now();
            stranger.connection.reset();
            if (stranger.attempts < 12) {
                guess(stranger);
                ++busy;
            }
        }
    }
    const double seconds = std::chrono::duration<double>(lastLeft - attackStart).count();
    EXPECT_LE(judged / seconds, 2.0) << judged << " guesses judged in " << seconds << " s";

    auto owner = readyConnection("127.0.0.9:50000");
    owner->deliver(connectPacket("device-A", "Ez3Kq$vn"));
    const auto ownerSent = clock.now();
    while (packetsSent(*owner).empty() && clock.now() - lastLeft <= policy.maxDelay)
        clock.advance(100ms);
    ASSERT_EQ(packetsSent(*owner).size(), 1u)
        << "no answer " << std::chrono::duration<double>(clock.now() - ownerSent).count()
        << " s after the owner's attempt";
    EXPECT_EQ(packetsSent(*owner)[0].subType, InteractionType::ret200);
    EXPECT_LE(clock.now() - lastLeft, policy.maxDelay);
}

TEST_F(ControlServerTest, BlockedDeviceIsRefusedWithRet400AndAReport) {
    vl::testing::LogCapture log;
    fakes.shell->setBlocked("device-B", true);
    auto blocked = readyConnection();
    blocked->deliver(connectPacket("device-B", "Ez3Kq$vn"));
    EXPECT_EQ(packetsSent(*blocked).at(0).subType, InteractionType::ret400);
    EXPECT_FALSE(fakes.shell->currentConnectedClient());
    EXPECT_FALSE(server->activeConnection());
    EXPECT_EQ(fakes.power->prevented, 0);
    EXPECT_TRUE(log.contains("device-B is blocked", std::chrono::seconds(2)));

    // Other devices still connect; unblocking lets the device in again.
    auto other = readyConnection("127.0.0.1:50001");
    other->deliver(connectPacket("device-A", "Ez3Kq$vn"));
    EXPECT_EQ(packetsSent(*other).at(0).subType, InteractionType::ret200);
    other->deliver(framed(InteractionType::disconnect, request("device-A", "").toJson()));
    fakes.shell->setBlocked("device-B", false);
    blocked->deliver(connectPacket("device-B", "Ez3Kq$vn"));
    EXPECT_EQ(packetsSent(*blocked).back().subType, InteractionType::ret200);
}

TEST_F(ControlServerTest, SecondDeviceIsBusyAndCannotDisturbTheKnownClient) {
    auto first = readyConnection();
    first->deliver(connectPacket("device-A", "Ez3Kq$vn"));
    first->clearSent();

    auto stranger = readyConnection("127.0.0.1:50002");
    stranger->deliver(connectPacket("device-B", "Ez3Kq$vn"));
    EXPECT_EQ(packetsSent(*stranger).at(0).subType, InteractionType::retBusy);
    EXPECT_EQ(fakes.shell->currentConnectedClient(), "device-A");
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
    EXPECT_EQ(fakes.shell->currentConnectedClient(), "device-A");

    // The stranger's connection failing tears nothing down.
    stranger->setState(ConnectionState::failed, NetworkError{NetworkError::Code::timedOut, ""});
    EXPECT_EQ(server->activeConnection(), first);
    EXPECT_EQ(fakes.shell->currentConnectedClient(), "device-A");
    EXPECT_EQ(disconnectPosts, 0);
    EXPECT_EQ(fakes.power->active(), 1);
    EXPECT_TRUE(first->sent().empty());
}

TEST_F(ControlServerTest, WithoutAShellASecondDeviceIsStillRefused) {
    // No application shell runs: the server remembers the device itself.
    auto environment = fakes.environment();
    environment.shell = nullptr;
    auto headless = ControlServer::make(8788, queue, "ControlServer", environment);
    auto first = std::make_shared<FakeConnection>("127.0.0.1:50000");
    connections.push_back(first);
    headless->handleConnection(first);
    first->setState(ConnectionState::ready);
    first->deliver(connectPacket("device-A", "Ez3Kq$vn"));
    auto second = std::make_shared<FakeConnection>("127.0.0.1:50001");
    connections.push_back(second);
    headless->handleConnection(second);
    second->setState(ConnectionState::ready);
    second->deliver(connectPacket("device-B", "Ez3Kq$vn"));
    EXPECT_EQ(packetsSent(*first).at(0).subType, InteractionType::ret200);
    EXPECT_EQ(packetsSent(*second).at(0).subType, InteractionType::retBusy);
}

TEST_F(ControlServerTest, DisconnectOnlyFromTheKnownDeviceEndsTheSession) {
    auto connection = readyConnection();
    connection->deliver(connectPacket("device-A", "Ez3Kq$vn"));
    connection->clearSent();

    connection->deliver(framed(InteractionType::disconnect, request("device-B", "").toJson()));
    connection->deliver(framed(InteractionType::disconnect, "garbage"));
    EXPECT_EQ(fakes.shell->currentConnectedClient(), "device-A");
    EXPECT_EQ(disconnectPosts, 0);

    connection->deliver(framed(InteractionType::disconnect, request("device-A", "").toJson()));
    EXPECT_FALSE(fakes.shell->currentConnectedClient());
    EXPECT_EQ(disconnectPosts, 1);
    EXPECT_EQ(fakes.power->active(), 0);
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
    EXPECT_FALSE(fakes.shell->currentConnectedClient());
    EXPECT_FALSE(server->activeConnection());
    EXPECT_EQ(fakes.power->active(), 0);
    connection->setState(ConnectionState::cancelled);
    EXPECT_EQ(disconnectPosts, 1);
}

TEST_F(ControlServerTest, ADisconnectPostedByTheShellEndsTheSessionOnTheServersQueue) {
    auto connection = readyConnection();
    connection->deliver(connectPacket("device-A", "Ez3Kq$vn"));
    connection->clearSent();
    // Do-not-disturb in the settings window: posted on another thread.
    std::thread([] {
        NotificationCenter::defaultCenter().post(clientDisconnectNotification);
    }).join();
    ASSERT_TRUE(eventually([&] { return packetsSent(*connection).size() == 1; }));
    EXPECT_EQ(packetsSent(*connection)[0].subType, InteractionType::disconnect);
    EXPECT_EQ(fakes.power->active(), 0);
}

TEST_F(ControlServerTest, ReceiveLoopDispatchesSplitAndJoinedPacketsAndStopsWhenTheConnectionEnds) {
    auto connection = readyConnection();
    EXPECT_EQ(connection->receivesArmed, 1);
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

// A peer that finishes or resets its stream and keeps the connection open: every later receive
// would complete at once, so a loop that arms again turns for ever without a byte arriving.
TEST_F(ControlServerTest, AStreamEndedOrResetByThePeerEndsItsConnectionWithOneReport) {
    const NetworkError reset{NetworkError::Code::streamReset, "application error 0"};
    for (auto ending : {std::optional<NetworkError>{}, std::optional<NetworkError>{reset}}) {
        SCOPED_TRACE(ending ? "reset" : "finished");
        vl::testing::LogCapture log;
        auto stranger = readyConnection("127.0.0.5:40000");
        stranger->endReading(ending);
        ASSERT_TRUE(eventually([&] { return stranger->state() == ConnectionState::cancelled; }));
        drain();
        EXPECT_EQ(stranger->receivesArmed, 1);
        EXPECT_EQ(log.count("closing the connection"), 1u);
    }

    // The client's own control stream ending ends its session as a failed connection does.
    auto client = readyConnection();
    client->deliver(connectPacket("device-A", "Ez3Kq$vn"));
    ASSERT_EQ(fakes.shell->currentConnectedClient(), "device-A");
    client->endReading();
    ASSERT_TRUE(eventually([&] { return disconnectPosts == 1; }));
    drain();
    EXPECT_FALSE(fakes.shell->currentConnectedClient());
    EXPECT_FALSE(server->activeConnection());
    EXPECT_EQ(client->receivesArmed, 2);
}

TEST_F(ControlServerTest, KeepaliveSendsOneZeroByteAtEachIntervalToTheAuthenticatedClient) {
    server = ControlServer::make(8788, queue, "ControlServer", fakes.environment(), clock);
    server->setGuessPolicy({.firstDelay = 0ms});
    server->setKeepaliveInterval(20ms);
    auto connection = readyConnection();
    connection->deliver(connectPacket("device-A", "Ez3Kq$vn"));
    auto keepalives = [&] {
        int count = 0;
        for (const auto& sent : connection->sent())
            if (sent.data == Bytes{0x00} && sent.isComplete) ++count;
        return count;
    };
    clock.advance(19ms);
    EXPECT_EQ(keepalives(), 0);
    clock.advance(41ms);
    EXPECT_EQ(keepalives(), 3);

    // A connection that never authenticated gets none.
    auto stranger = readyConnection("127.0.0.1:50003");
    clock.advance(80ms);
    EXPECT_TRUE(stranger->sent().empty());
    EXPECT_EQ(keepalives(), 7);
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
    drain();
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
    server->withSession([](SharingSession& session) {
        session.setMonitorOccupied(2);
        session.setMonitorOccupied(4);
        session.setMonitorOccupied(5);
        EXPECT_EQ(session.extraDisplayMask(), 0b1010);
        session.clearMonitorOccupied(2);
        session.clearMonitorOccupied(0);
        EXPECT_EQ(session.extraDisplayMask(), 0b1000);
    });
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

// MARK: - Sharing sessions

namespace {

// The main queue runs on a thread of its own for the whole test program.
[[maybe_unused]] auto* const mainLoop =
    ::testing::AddGlobalTestEnvironment(new vl::testing::MainLoopEnvironment);

// A video client over real QUIC on loopback, registered as the port's receiver.
std::unique_ptr<StreamClient> videoReceiver(std::int64_t port) {
    auto receiver = StreamClient::connect("127.0.0.1", static_cast<std::uint16_t>(port),
                                          StreamOptions::media());
    EXPECT_TRUE(receiver->waitForState(ConnectionState::ready));
    receiver->registerForVideo();
    return receiver;
}

using InstallFunction = void (*)(const std::shared_ptr<ps::VirtualDisplayPlatform>*);

// A 1920x1080 main display; virtual displays come from the library loaded by path over fakes;
// capture and codec are fakes; video ports are real QUIC listeners on a port range of this
// process.
class SharingSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        library = dlopen(FAKE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        install =
            reinterpret_cast<InstallFunction>(dlsym(library, "vlPhantomScreenInstallPlatform"));
        ASSERT_NE(install, nullptr);
        std::shared_ptr<ps::VirtualDisplayPlatform> platform = virtuals;
        install(&platform);

        server = ControlServer::make(static_cast<std::uint16_t>(basePort), queue, "ControlServer",
                                     fakes.environment(), clock);
        connection = std::make_shared<FakeConnection>("127.0.0.1:50000");
        server->handleConnection(connection);
        connection->setState(ConnectionState::ready);
        connection->deliver(connectPacket("device-A", "Ez3Kq$vn"));
        connection->clearSent();
    }
    void TearDown() override {
        if (server) server->endSession();
        for (const auto& other : connections) other->cancel();
        if (connection) connection->cancel();
        settle();
        server.reset();
        fakes.virtualDisplays->stopService();
        fakes.inf->release();
        if (install) install(nullptr);
        if (library) dlclose(library);
    }

    // Lets the steps posted to the main queue run, and those due later (the second window move
    // 0.35 s on) fall due.
    void settle() {
        DispatchQueue::main().sync([] {});
        clock.advance(400ms);
        DispatchQueue::main().sync([] {});
    }
    // Waits for the condition while the session's clock moves on, so that the polls for a virtual
    // display, the arrangement's retries and the second window move fall due as the test looks.
    bool until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
        return eventually(
            [&] {
                if (condition()) return true;
                clock.advance(50ms);
                return false;
            },
            timeout);
    }
    bool logged(const std::string& text) { return log.contains(text, 3s); }
    // The answer to the request with this id, once it has been sent.
    std::optional<SharedItem> answerTo(const Packet& request,
                                       std::chrono::milliseconds timeout = 10s) {
        std::optional<SharedItem> item;
        until(
            [&] {
                for (const Packet& sent : packetsSent(*connection))
                    if (sent.packetId == request.packetId && sent.data) {
                        EXPECT_EQ(sent.subType, request.subType);
                        EXPECT_EQ(sent.type, PacketType::pktInteractiveTap);
                        item = SharedItem::fromJson(*sent.data);
                        return true;
                    }
                return false;
            },
            timeout);
        return item;
    }
    Packet descriptorPacket(InteractionType subType, const std::string& text) {
        return Packet(PacketType::pktInteractiveTap, subType, bytesOf(base64Encode(text)));
    }
    SharedItem startMainSession(const std::string& descriptor = "1920x1080@60") {
        Packet start = descriptorPacket(InteractionType::rdpStart, descriptor);
        connection->deliver(start.encode());
        auto item = answerTo(start);
        EXPECT_TRUE(item);
        return item.value_or(SharedItem{});
    }
    std::optional<SharedItem> startExtraDisplay(const std::string& descriptor,
                                                std::chrono::milliseconds timeout = 10s) {
        Packet start = descriptorPacket(InteractionType::displayStart, descriptor);
        connection->deliver(start.encode());
        return answerTo(start, timeout);
    }
    void askForVideo(const SharedItem& item) {
        connection->deliver(
            Packet(PacketType::pktInteractiveTap, InteractionType::rdpVideo, bytesOf(item.sharedID))
                .encode());
    }
    static DisplayID displayOf(const SharedItem& item) {
        return item.sharedType.displayID().value_or(0);
    }
    // What the current session holds, read on the server's queue.
    template <typename Read>
    auto session(Read read) {
        std::decay_t<decltype(read(std::declval<SharingSession&>()))> result{};
        server->withSession([&](SharingSession& session) { result = read(session); });
        return result;
    }
    std::shared_ptr<VideoServer> videoServer() {
        return session([](SharingSession& s) { return s.videoServer(); });
    }
    std::shared_ptr<VideoServer> displayServer(int port) {
        return session([port](SharingSession& s) { return s.displayServer(port); });
    }
    std::shared_ptr<VNSCapture> capture(const std::string& id) {
        return session([&](SharingSession& s) { return s.capture(id); });
    }
    std::size_t captureCount() {
        return session([](SharingSession& s) { return s.captureCount(); });
    }
    std::map<std::string, SharedItem> sharingItems() {
        return session([](SharingSession& s) { return s.sharingItems(); });
    }
    std::optional<DisplayID> findPS() {
        std::optional<DisplayID> display;
        DispatchQueue::main().sync([&] { display = fakes.virtualDisplays->findPS(); });
        return display;
    }
    int count(const std::string& step) { return fakes.count(step); }

    // Each test process takes its own ports, so runs side by side do not collide.
    const int basePort = 20000 + static_cast<int>(getpid() % 4000) * 10;
    vl::testing::ManualClock clock;
    RecordingSessionEnvironment fakes{FAKE_LIBRARY_PATH, clock};
    std::shared_ptr<ps::FakeVirtualDisplays> virtuals =
        std::make_shared<ps::FakeVirtualDisplays>(*fakes.displays);
    void* library = nullptr;
    InstallFunction install = nullptr;
    std::shared_ptr<DispatchQueue> queue = std::make_shared<DispatchQueue>("ControlRequestQueue");
    std::shared_ptr<ControlServer> server;
    std::shared_ptr<FakeConnection> connection;
    std::vector<std::shared_ptr<FakeConnection>> connections;  // others the test made
    vl::testing::LogCapture log;
};

}  // namespace

TEST_F(SharingSessionTest, RdpStartAnswersTheMainItemOnAnExtendedVirtualDisplay) {
    SharedItem item = startMainSession("1920x1080@60");
    const DisplayID id = displayOf(item);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(std::holds_alternative<SharedType::Display>(item.sharedType.value));
    EXPECT_EQ(item.sharedVideoPort, basePort + 2);
    EXPECT_EQ(item.sharedAudioPort, basePort + 1);
    EXPECT_EQ(item.sharedMicPort, basePort + 4);
    EXPECT_EQ(item.sharedCamPort, basePort + 5);
    EXPECT_EQ(item.width, 1920);
    EXPECT_EQ(item.height, 1080);
    EXPECT_EQ(item.fps, 30);  // the record's default, not the request's
    EXPECT_FALSE(item.hdr);
    EXPECT_TRUE(Uuid::fromString(item.sharedID));
    EXPECT_EQ(session([](SharingSession& s) { return s.requestedFPS(); }), 60);
    EXPECT_EQ(session([](SharingSession& s) { return s.currentResolution(); }), "1920x1080");
    EXPECT_TRUE(server->rdpStarted());
    EXPECT_TRUE(sharingItems().contains(item.sharedID));

    auto video = videoServer();
    ASSERT_TRUE(video);
    EXPECT_TRUE(video->isListening());
    EXPECT_EQ(video->boundPort(), basePort + 2);
    EXPECT_EQ(video->authorizedClientAddress(), "127.0.0.1");

    // The display is taken out of mirroring beside the main display, then the windows follow.
    const std::string display = std::to_string(id);
    ASSERT_TRUE(until([&] { return count("startNewWindowObserver " + display) == 1; }));
    EXPECT_EQ(fakes.displays->mirrorsDisplay(id), nullDisplayID);
    EXPECT_GE(fakes.displays->bounds(id).x, 1920);  // beside the main display
    auto steps = fakes.steps();
    const auto port = [&](int offset) { return std::to_string(basePort + offset); };
    std::vector<std::string> expected = {"rememberAllDisplays",
                                         "startAudio 2 " + port(1),
                                         "startVisionProCam " + port(5),
                                         "startVisionProMic " + port(4),
                                         "startClipboardMonitor",
                                         "setMainDisplay " + display,
                                         "moveAllWindowsToDisplay " + display,
                                         "moveAllWindowsToDisplay " + display,
                                         "startNewWindowObserver " + display};
    // The media servers and the display steps run on different queues; compare as sets of runs.
    EXPECT_EQ(steps.front(), "rememberAllDisplays");
    std::sort(steps.begin(), steps.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(steps, expected);
}

TEST_F(SharingSessionTest, AnHdrRequestAtAnUnsupportedSizeGetsTheDefaultResolution) {
    SharedItem item = startMainSession("1000x700@75 HDR");
    EXPECT_EQ(item.width, 1920);
    EXPECT_EQ(item.height, 1080);
    EXPECT_TRUE(item.hdr);
    EXPECT_EQ(session([](SharingSession& s) { return s.requestedFPS(); }), 75);
    EXPECT_EQ(session([](SharingSession& s) { return s.currentResolution(); }), "1920x1080");
}

TEST_F(SharingSessionTest, DescriptorsWithoutASizeAreDroppedWithoutAnAnswer) {
    connection->deliver(framed(InteractionType::rdpStart));
    connection->deliver(descriptorPacket(InteractionType::rdpStart, "@60 HDR").encode());
    connection->deliver(framed(InteractionType::rdpStart, "not base64!"));
    connection->deliver(descriptorPacket(InteractionType::displayStart, "portrait:true").encode());
    EXPECT_TRUE(logged("****** displayStr: @60 HDR"));
    // What the descriptors set going has run on the desktop's queue, then on the server's.
    DispatchQueue::main().sync([] {});
    server->withSession([](SharingSession&) {});
    EXPECT_TRUE(packetsSent(*connection).empty());
    EXPECT_FALSE(videoServer());
    EXPECT_EQ(findPS(), std::nullopt);
    EXPECT_TRUE(server->rdpStarted());  // flagged before anything can fail
    server->endSession();
    EXPECT_FALSE(server->rdpStarted());
}

TEST_F(SharingSessionTest, VideoOfTheMainItemReachesItsClientUntilTheSessionStops) {
    SharedItem item = startMainSession();
    const DisplayID id = displayOf(item);
    fakes.capture->setDisplays({{id, 1920, 1080}});
    auto receiver = videoReceiver(item.sharedVideoPort);
    ASSERT_TRUE(eventually([&] { return videoServer()->clientConnection() != nullptr; }));

    askForVideo(item);
    ASSERT_TRUE(eventually([&] { return fakes.capture->runningStreamCount(id) == 1; }));
    auto running = capture(item.sharedID);
    ASSERT_TRUE(running);
    EXPECT_EQ(running->config().fps, 60);  // the session's requested rate
    EXPECT_EQ(running->config().keyFrameIntervalSeconds, 2.0);
    EXPECT_TRUE(running->config().showsCursor);
    fakes.capture->emitFrame(id);
    fakes.capture->emitFrame(id);
    ASSERT_TRUE(eventually([&] { return receiver->packets().size() == 2; }));
    auto packets = receiver->packets();
    for (const Packet& packet : packets) {
        EXPECT_EQ(packet.packetId, Uuid::fromString(item.sharedID));
        EXPECT_EQ(packet.type, PacketType::pktVideoStreamData);
        EXPECT_EQ(packet.subType, InteractionType::rdpVideo);
    }
    EXPECT_TRUE(isKeyFrameAccessUnit(*packets[0].data));
    EXPECT_FALSE(isKeyFrameAccessUnit(*packets[1].data));
    // The cursor is confined once, with the first frame.
    const std::string confine = "startConstrainingCursor " + std::to_string(id);
    ASSERT_TRUE(eventually([&] { return count(confine) == 1; }));
    // Both frames have left the encode queue, and whatever they posted to the desktop's has run.
    running->encodeQueue()->sync([] {});
    DispatchQueue::main().sync([] {});
    EXPECT_EQ(count(confine), 1);

    connection->deliver(framed(InteractionType::rdpStop));
    EXPECT_FALSE(server->rdpStarted());
    EXPECT_EQ(fakes.capture->runningStreamCount(id), 0);
    EXPECT_FALSE(running->isCapturing());
    settle();
    EXPECT_TRUE(eventually([&] { return fakes.codec->sessions().back()->invalidated; }));
    EXPECT_EQ(captureCount(), 0u);
    EXPECT_TRUE(sharingItems().empty());
    EXPECT_FALSE(videoServer());
    EXPECT_FALSE(session([](SharingSession& s) { return s.currentResolution(); }));
    EXPECT_EQ(findPS(), std::nullopt);
    EXPECT_FALSE(fakes.displays->display(id));
    for (const char* step :
         {"saveWindowLayout device-A 1920x1080", "stopClipboardMonitor", "stopNewWindowObserver",
          "stopAudio", "stopVisionProMic", "stopVisionProCam", "stopConstrainingCursor",
          "restoreMainDisplay", "restoreAllWindows"})
        EXPECT_EQ(count(step), 1) << step;
    EXPECT_TRUE(packetsSent(*connection).size() == 1u);  // only the rdpStart answer
}

TEST_F(SharingSessionTest, ExtraDisplaysTakeTheFourSlotsAndReuseAFreedOne) {
    std::vector<SharedItem> items;
    for (int i = 0; i < 4; ++i) {
        auto item = startExtraDisplay("1280x720@48");
        ASSERT_TRUE(item);
        items.push_back(*item);
    }
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(items[i].sharedVideoPort, basePort + 6 + i);
        EXPECT_TRUE(std::holds_alternative<SharedType::LeafDisplay>(items[i].sharedType.value));
        EXPECT_EQ(items[i].sharedAudioPort, 0);
        EXPECT_EQ(items[i].fps, 48);
        ASSERT_TRUE(displayServer(basePort + 6 + i));
        EXPECT_TRUE(displayServer(basePort + 6 + i)->isListening());
    }
    EXPECT_EQ(session([](SharingSession& s) { return s.extraDisplayMask(); }), 0x0f);
    Packet fifth = descriptorPacket(InteractionType::displayStart, "1280x720");
    connection->deliver(fifth.encode());
    EXPECT_TRUE(logged("handleDisplayStart: all four extra display slots are taken"));
    DispatchQueue::main().sync([] {});
    server->withSession([](SharingSession&) {});
    EXPECT_FALSE(answerTo(fifth, 0ms));  // no fifth answer

    // Stopping the slot-2 display frees its port, its server and its virtual display.
    const DisplayID second = displayOf(items[1]);
    connection->deliver(framed(InteractionType::displayStop, base64Encode(items[1].sharedID)));
    EXPECT_TRUE(logged("handleDisplayStop: stopping display server on port " +
                       std::to_string(basePort + 7)));
    EXPECT_TRUE(logged("handleDisplayStop: removing virtual display " + std::to_string(second)));
    settle();
    EXPECT_FALSE(displayServer(basePort + 7));
    EXPECT_EQ(session([](SharingSession& s) { return s.extraDisplayMask(); }), 0x0d);
    EXPECT_FALSE(fakes.displays->display(second));
    EXPECT_FALSE(sharingItems().contains(items[1].sharedID));

    auto portrait = startExtraDisplay("1920x1080@60 portrait:true");
    ASSERT_TRUE(portrait);
    EXPECT_EQ(portrait->sharedVideoPort, basePort + 7);
    EXPECT_EQ(portrait->width, 1080);
    EXPECT_EQ(portrait->height, 1920);

    // An unknown share identity is reported and changes nothing.
    connection->deliver(framed(InteractionType::displayStop, base64Encode(std::string("nope"))));
    EXPECT_TRUE(logged("handleDisplayStop: no shared item for shareId nope"));
    EXPECT_EQ(session([](SharingSession& s) { return s.extraDisplayMask(); }), 0x0f);

    // The session's teardown frees every slot and display, with or without a main session.
    connection->deliver(framed(InteractionType::rdpStop));
    settle();
    EXPECT_EQ(session([](SharingSession& s) { return s.extraDisplayMask(); }), 0);
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(displayServer(basePort + 6 + i));
    EXPECT_EQ(findPS(), std::nullopt);
}

TEST_F(SharingSessionTest, AnExtraDisplayStreamsOnItsOwnPortAtItsOwnRate) {
    auto item = startExtraDisplay("1280x720@48");
    ASSERT_TRUE(item);
    const DisplayID id = displayOf(*item);
    fakes.capture->setDisplays({{id, 1280, 720}});
    auto receiver = videoReceiver(item->sharedVideoPort);
    ASSERT_TRUE(eventually(
        [&] { return displayServer(item->sharedVideoPort)->clientConnection() != nullptr; }));
    askForVideo(*item);
    ASSERT_TRUE(eventually([&] { return fakes.capture->runningStreamCount(id) == 1; }));
    EXPECT_EQ(capture(item->sharedID)->config().fps, 48);
    fakes.capture->emitFrame(id);
    ASSERT_TRUE(eventually([&] { return receiver->packets().size() == 1; }));
    EXPECT_EQ(receiver->packets()[0].packetId, Uuid::fromString(item->sharedID));

    // displayStop ends its capture too.
    connection->deliver(framed(InteractionType::displayStop, base64Encode(item->sharedID)));
    EXPECT_EQ(fakes.capture->runningStreamCount(id), 0);
    EXPECT_EQ(captureCount(), 0u);
}

TEST_F(SharingSessionTest, RdpVideoThatCannotBeServedIsReportedAndLeavesTheSessionIntact) {
    SharedItem item = startMainSession();
    SharedItem unknown;
    unknown.sharedID = "unknown-id";
    askForVideo(unknown);
    EXPECT_TRUE(logged("handleRdpVideo: failed to find sharedItem for sharedId: unknown-id"));

    // An extra display whose server is gone.
    auto extra = startExtraDisplay("1280x720");
    ASSERT_TRUE(extra);
    server->withSession(
        [&](SharingSession& s) { s.stopDisplay(static_cast<int>(extra->sharedVideoPort)); });
    askForVideo(*extra);
    EXPECT_TRUE(logged("handleRdpVideo: no video server for port " +
                       std::to_string(extra->sharedVideoPort)));

    // The display is not among the shareable ones: the start fails and the capture goes.
    fakes.capture->setDisplays({});
    askForVideo(item);
    EXPECT_TRUE(logged("handleRdpVideo: startCapture failed: Display " +
                       std::to_string(displayOf(item)) + " not found in shareable content."));
    ASSERT_TRUE(eventually([&] { return captureCount() == 0; }));
    EXPECT_TRUE(eventually([&] { return count("stopConstrainingCursor") == 1; }));

    // The session is intact: once the display can be captured, video starts.
    fakes.capture->setDisplays({{displayOf(item), 1920, 1080}});
    askForVideo(item);
    EXPECT_TRUE(
        eventually([&] { return fakes.capture->runningStreamCount(displayOf(item)) == 1; }));
    EXPECT_TRUE(server->rdpStarted());
}

TEST_F(SharingSessionTest, RdpStopWithNothingStartedChangesNothing) {
    connection->deliver(framed(InteractionType::rdpStop));
    server->endSession();
    EXPECT_TRUE(fakes.steps().empty());
    EXPECT_FALSE(server->rdpStarted());
}

TEST_F(SharingSessionTest, ASessionStoppedWhileItsDisplayComesOnlineStartsNothing) {
    Packet start = descriptorPacket(InteractionType::rdpStart, "1920x1080@60");
    connection->deliver(start.encode());
    // The display exists; the wait for it polls every 0.2 s, and the clock stands still, so the
    // stop comes first.
    ASSERT_TRUE(eventually([&] { return findPS().has_value(); }));
    connection->deliver(framed(InteractionType::rdpStop));
    // The teardown takes the display away, so the wait ends at its 5 s time-out.
    ASSERT_EQ(findPS(), std::nullopt);
    clock.advance(4900ms);
    server->withSession([](SharingSession&) {});
    EXPECT_FALSE(log.contains("the session ended while its display came online"));
    clock.advance(100ms);
    EXPECT_TRUE(
        logged("handleRdpStart: the session ended while its display came online; nothing started"));
    settle();
    EXPECT_FALSE(answerTo(start, 10ms));
    EXPECT_FALSE(videoServer());
    EXPECT_EQ(count("startAudio 2 " + std::to_string(basePort + 1)), 0);
    for (const auto& step : fakes.steps()) EXPECT_NE(step.rfind("setMainDisplay", 0), 0u) << step;
    EXPECT_EQ(findPS(), std::nullopt);

    // Stopping before the display is even made leaves nothing either.
    Packet again = descriptorPacket(InteractionType::rdpStart, "1920x1080@60");
    connection->deliver(again.encode());
    connection->deliver(framed(InteractionType::rdpStop));
    settle();
    EXPECT_FALSE(answerTo(again, 10ms));
    EXPECT_EQ(findPS(), std::nullopt);
}

TEST_F(SharingSessionTest, TheClientVanishingMidStreamLeavesNoCaptureOrEncoderRunning) {
    SharedItem item = startMainSession();
    const DisplayID id = displayOf(item);
    fakes.capture->setDisplays({{id, 1920, 1080}});
    askForVideo(item);
    ASSERT_TRUE(eventually([&] { return fakes.capture->runningStreamCount(id) == 1; }));
    fakes.capture->emitFrame(id);
    auto running = capture(item.sharedID);
    ASSERT_TRUE(running);
    (void)running->frameCount();

    connection->setState(ConnectionState::failed, NetworkError{NetworkError::Code::timedOut, ""});
    EXPECT_FALSE(server->rdpStarted());
    EXPECT_EQ(fakes.capture->runningStreamCount(id), 0);
    EXPECT_FALSE(running->isCapturing());
    // The encoder goes on its own queue, without holding the teardown up.
    EXPECT_TRUE(eventually([&] {
        auto sessions = fakes.codec->sessions();
        return std::all_of(sessions.begin(), sessions.end(),
                           [](const auto& session) { return session->invalidated; });
    }));
    EXPECT_FALSE(videoServer());
    settle();
    EXPECT_EQ(findPS(), std::nullopt);
}

TEST_F(SharingSessionTest, TheActiveWindowsDisplayIsNamedToTheClientByItsSharedItem) {
    server->withSession([](SharingSession& s) { s.handleActiveWindowDisplayChanged(5); });
    EXPECT_TRUE(packetsSent(*connection).empty());  // no session: nothing
    SharedItem item = startMainSession();
    auto extra = startExtraDisplay("1280x720");
    ASSERT_TRUE(extra);
    connection->clearSent();

    // The window manager tells on the main queue; the callback was installed at the session's
    // start.
    ASSERT_TRUE(until(
        [&] { return count("startNewWindowObserver " + std::to_string(displayOf(item))) == 1; }));
    DispatchQueue::main().sync([&] {
        fakes.windows->activeWindowMovedTo(displayOf(*extra));
        fakes.windows->activeWindowMovedTo(displayOf(item));
        fakes.windows->activeWindowMovedTo(1);  // the physical display is not shared
    });
    ASSERT_TRUE(eventually([&] { return packetsSent(*connection).size() == 2; }));
    EXPECT_TRUE(logged("handleActiveWindowDisplayChanged: no shared item for display 1"));
    auto sent = packetsSent(*connection);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].subType, InteractionType::activeWindowOnDisplay);
    EXPECT_EQ(ActiveWindowInfo::fromJson(*sent[0].data)->shareId, extra->sharedID);
    EXPECT_EQ(ActiveWindowInfo::fromJson(*sent[1].data)->shareId, item.sharedID);
}

TEST_F(SharingSessionTest, WindowCommandsReachTheWindowManagerOnlyForSharedDisplays) {
    connection->deliver(framed(InteractionType::moveWindowToVDIfNotOnVD));  // no session
    SharedItem item = startMainSession();
    connection->deliver(framed(InteractionType::moveWindowToVDIfNotOnVD));
    EXPECT_TRUE(logged("handleMoveWindowToVDIfNotOnVD: relocated 0 window(s) to VD " +
                       std::to_string(displayOf(item))));

    connection->deliver(
        framed(InteractionType::jumpToDisplay, JumpToDisplayInfo{item.sharedID}.toJson()));
    EXPECT_TRUE(logged("handleJumpToDisplay: moved active window to display " +
                       std::to_string(displayOf(item)) + ": false"));
    connection->deliver(framed(InteractionType::jumpToDisplay, JumpToDisplayInfo{"nope"}.toJson()));
    EXPECT_TRUE(logged("handleJumpToDisplay: unknown shared item id nope"));
    // Only the request made during the session reached the window manager.
    int relocations = 0;
    for (const auto& step : fakes.steps())
        if (step.rfind("moveWindowsToVDIfNotOnVD", 0) == 0) ++relocations;
    EXPECT_EQ(relocations, 1);
    EXPECT_EQ(count("moveActiveWindowToDisplay " + std::to_string(displayOf(item)) + " left"), 1);
}

TEST_F(SharingSessionTest, AClientsLayoutComesBackOnlyAtTheResolutionItWasSavedAt) {
    startMainSession("1920x1080@60");
    connection->deliver(framed(InteractionType::rdpStop));
    settle();
    EXPECT_EQ(count("saveWindowLayout device-A 1920x1080"), 1);

    // Another resolution: nothing restored.
    SharedItem smaller = startMainSession("1280x720@60");
    ASSERT_TRUE(until([&] {
        return count("startNewWindowObserver " + std::to_string(displayOf(smaller))) == 1;
    }));
    EXPECT_EQ(count("restoreWindowLayout device-A 1280x720"), 0);
    connection->deliver(framed(InteractionType::rdpStop));
    settle();

    EXPECT_EQ(count("saveWindowLayout device-A 1280x720"), 1);

    // The same resolution again: the layout saved at it comes back, before the observers start.
    SharedItem again = startMainSession("1280x720@60");
    ASSERT_TRUE(until(
        [&] { return count("startNewWindowObserver " + std::to_string(displayOf(again))) == 1; }));
    EXPECT_EQ(count("restoreWindowLayout device-A 1280x720"), 1);
    EXPECT_TRUE(logged("🔄 Restoring saved window layout for device-A"));
}

TEST_F(SharingSessionTest, InputAndClipboardReachTheirRolesOnlyForKnownItems) {
    SharedItem item = startMainSession();
    const std::string display = std::to_string(displayOf(item));
    MouseEvent click;
    click.shareId = item.sharedID;
    click.kind = MouseEventKind::down;
    click.horzPosition = 0.5;
    connection->deliver(framed(InteractionType::mouseEvent, click.toJson()));
    MouseEvent stranger = click;
    stranger.shareId = "nope";
    connection->deliver(framed(InteractionType::mouseEvent, stranger.toJson()));
    EXPECT_TRUE(logged("🟥 handleMouseEvent: unknown shared item id nope"));

    KeyboardEvent key;
    key.shareId = item.sharedID;
    key.characters = "a";
    key.isKeyDown = true;
    connection->deliver(framed(InteractionType::text, key.toJson()));
    MouseScroll scroll;
    scroll.shareId = item.sharedID;
    scroll.delta = 12;
    connection->deliver(framed(InteractionType::scroll, scroll.toJson()));
    ClipboardEvent copy;
    copy.data = bytesOf("hello");
    connection->deliver(framed(InteractionType::clipboard, copy.toJson()));

    ASSERT_TRUE(eventually([&] { return count("handleClipboard 5") == 1; }));
    EXPECT_EQ(count("handleMouseEvent " + display + " " + click.toJson()), 1);
    EXPECT_EQ(count("handleKeyboard " + key.toJson()), 1);
    EXPECT_EQ(count("handleMiceWheel " + scroll.toJson()), 1);
    for (const auto& step : fakes.steps()) EXPECT_EQ(step.find("nope"), std::string::npos);

    // A local copy goes to the client as a clipboard message.
    connection->clearSent();
    DispatchQueue::main().sync([&] { fakes.clipboard->upload(copy); });
    ASSERT_TRUE(eventually([&] { return packetsSent(*connection).size() == 1; }));
    EXPECT_EQ(packetsSent(*connection)[0].subType, InteractionType::clipboard);
}

TEST_F(SharingSessionTest, LookingAwayPausesEveryCaptureAndLookingBackResumesOne) {
    SharedItem item = startMainSession();
    fakes.capture->setDisplays({{displayOf(item), 1920, 1080}});
    askForVideo(item);
    ASSERT_TRUE(
        eventually([&] { return fakes.capture->runningStreamCount(displayOf(item)) == 1; }));
    auto running = capture(item.sharedID);
    ASSERT_TRUE(eventually([&] { return running->isCapturing(); }));

    connection->deliver(framed(InteractionType::lookAt, LookAtInfo{""}.toJson()));
    EXPECT_TRUE(running->isPaused());
    connection->deliver(framed(InteractionType::lookAt, LookAtInfo{"nope"}.toJson()));
    EXPECT_TRUE(logged("🟥 handleLookat: unknown shared item id nope"));
    EXPECT_TRUE(running->isPaused());
    connection->deliver(framed(InteractionType::lookAt, LookAtInfo{item.sharedID}.toJson()));
    EXPECT_FALSE(running->isPaused());
}

// The main queue's steps of a session and the client's messages run on different queues: a
// step waiting on the main queue for the client's message must see it answered.
TEST_F(SharingSessionTest, AMainQueueStepCompletesWhileAClientMessageArrives) {
    auto second = std::make_shared<FakeConnection>("127.0.0.1:50009");
    connections.push_back(second);
    server->handleConnection(second);
    second->setState(ConnectionState::ready);
    std::atomic<bool> answeredDuringStep = false;
    fakes.recorder->onStep("rememberAllDisplays", [&] {
        // On the main queue, in the middle of the session's start.
        std::thread client([&] { second->deliver(connectPacket("device-B", "wrong")); });
        answeredDuringStep = eventually([&] { return packetsSent(*second).size() == 1; }, 5s);
        client.join();
    });
    SharedItem item = startMainSession();
    EXPECT_TRUE(answeredDuringStep);
    EXPECT_EQ(packetsSent(*second).at(0).subType, InteractionType::ret400);
    EXPECT_NE(displayOf(item), 0u);
}

// Strangers' failing connections while a streaming session ends must not hold the server up: the
// next client is answered. (Found as a hang: every shared thread blocked on the server's lock by
// strangers' connection failures while the session's teardown waited for an encode queue.)
TEST_F(SharingSessionTest, ASessionEndsAndTheNextClientIsAnsweredWhileStrangersConnectionsFail) {
    // Strangers and client share 127.0.0.1 here: guessing must not slow the client for this test.
    server->setGuessPolicy({.firstDelay = 0ms});
    server->start();
    const auto port = static_cast<std::uint16_t>(basePort);
    ClientIdentity headset;
    headset.deviceID = "device-A";
    std::string error;
    auto client = ControlClient::open("127.0.0.1", port, headset, &error);
    ASSERT_TRUE(client) << error;
    auto answer = client->connect("Ez3Kq$vn");
    ASSERT_TRUE(answer && answer->result == InteractionType::ret200);

    Packet start = descriptorPacket(InteractionType::rdpStart, "1280x720@60");
    client->stream().send(start);
    std::optional<Packet> reply;
    until([&] {
        reply = client->stream().waitFor(
            [&](const Packet& p) { return p.packetId == start.packetId; }, 10ms);
        return reply.has_value();
    });
    ASSERT_TRUE(reply && reply->data);
    auto item = SharedItem::fromJson(*reply->data);
    ASSERT_TRUE(item);
    const DisplayID id = displayOf(*item);
    fakes.capture->setDisplays({{id, 1280, 720}});
    auto video = StreamClient::connect(
        "127.0.0.1", static_cast<std::uint16_t>(item->sharedVideoPort), StreamOptions::media());
    ASSERT_TRUE(video->waitForState(ConnectionState::ready));
    video->registerForVideo();
    ASSERT_TRUE(eventually([&] { return videoServer()->clientConnection() != nullptr; }));
    client->stream().send(
        Packet(PacketType::pktInteractiveTap, InteractionType::rdpVideo, bytesOf(item->sharedID)));
    ASSERT_TRUE(eventually([&] { return fakes.capture->runningStreamCount(id) == 1; }));
    std::atomic<bool> streaming = true;
    std::thread frames([&] {
        while (streaming) {
            fakes.capture->emitFrame(id);
            std::this_thread::sleep_for(5ms);
        }
    });
    ASSERT_GE(video->waitForPackets(5).size(), 5u);

    // A hundred strangers: ready, a wrong password, then all gone at once.
    std::vector<std::unique_ptr<StreamClient>> strangers;
    for (int i = 0; i < 100; ++i) strangers.push_back(StreamClient::connect("127.0.0.1", port));
    int ready = 0;
    for (auto& stranger : strangers) {
        if (!stranger->waitForState(ConnectionState::ready, 5s)) continue;
        ++ready;
        stranger->sendBytes(connectPacket("stranger", "wrong"));
    }
    EXPECT_GE(ready, 90);
    std::vector<std::thread> leaving;
    for (int group = 0; group < 4; ++group)
        leaving.emplace_back([&, group] {
            for (std::size_t i = group; i < strangers.size(); i += 4) strangers[i]->close();
        });
    client->stream().send(Packet(PacketType::pktInteractiveTap, InteractionType::rdpStop));
    for (auto& thread : leaving) thread.join();
    streaming = false;
    frames.join();

    // The session ended, and a client is answered at once.
    EXPECT_TRUE(eventually([&] { return !server->rdpStarted(); }, 10s));
    EXPECT_TRUE(eventually([&] { return fakes.capture->runningStreamCount(id) == 0; }, 10s));
    auto next = ControlClient::open("127.0.0.1", port, headset, &error);
    ASSERT_TRUE(next) << error;
    auto again = next->connect("Ez3Kq$vn", 10s);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->result, InteractionType::ret200);
}

TEST_F(SharingSessionTest, NoSubTypeActsForAConnectionThatIsNotTheAuthenticatedClient) {
    SharedItem item = startMainSession();
    settle();
    const auto stepsBefore = fakes.steps();
    const auto itemsBefore = sharingItems().size();
    const auto capturesBefore = captureCount();

    auto never = std::make_shared<FakeConnection>("127.0.0.2:50010");
    auto refused = std::make_shared<FakeConnection>("127.0.0.3:50011");
    auto busy = std::make_shared<FakeConnection>("127.0.0.4:50012");
    for (const auto& c : {never, refused, busy}) {
        connections.push_back(c);
        server->handleConnection(c);
        c->setState(ConnectionState::ready);
    }
    refused->deliver(connectPacket("device-A", "Ez3Kq$vm"));
    busy->deliver(connectPacket("device-B", "Ez3Kq$vn"));
    ASSERT_EQ(packetsSent(*refused).at(0).subType, InteractionType::ret400);
    ASSERT_EQ(packetsSent(*busy).at(0).subType, InteractionType::retBusy);
    refused->clearSent();
    busy->clearSent();
    connection->clearSent();

    // Each sub-type with a payload that would act for the client.
    MouseEvent press;
    press.shareId = item.sharedID;
    press.kind = MouseEventKind::down;
    KeyboardEvent keyDown;
    keyDown.shareId = item.sharedID;
    keyDown.characters = "a";
    keyDown.isKeyDown = true;
    MouseScroll wheel;
    wheel.shareId = item.sharedID;
    wheel.delta = 3;
    ClipboardEvent copied;
    copied.data = bytesOf("x");
    auto payloadFor = [&](InteractionType type) -> std::string {
        using enum InteractionType;
        switch (type) {
            case rdpStart:
            case displayStart:
                return base64Encode(std::string("1280x720@30"));
            case rdpVideo:
            case displayStop:
                return item.sharedID;
            case mouseEvent:
                return press.toJson();
            case text:
                return keyDown.toJson();
            case scroll:
                return wheel.toJson();
            case clipboard:
                return copied.toJson();
            case lookAt:
                return LookAtInfo{""}.toJson();
            case jumpToDisplay:
                return JumpToDisplayInfo{item.sharedID}.toJson();
            case disconnect:
                return request("device-A", "").toJson();
            case speedTest:
                return "{\"length\": 1000}";
            default:
                return {};
        }
    };
    for (int raw = 0; raw <= rawValue(InteractionType::undefined); ++raw) {
        const auto type = *interactionTypeFromRaw(static_cast<std::uint8_t>(raw));
        if (type == InteractionType::connect) continue;
        for (const auto& c : {never, refused, busy}) c->deliver(framed(type, payloadFor(type)));
    }
    settle();

    for (const auto& c : {never, refused, busy})
        EXPECT_TRUE(c->sent().empty()) << c->remoteAddress() << " was answered";
    EXPECT_TRUE(packetsSent(*connection).empty());
    EXPECT_EQ(fakes.steps(), stepsBefore);
    EXPECT_EQ(sharingItems().size(), itemsBefore);
    EXPECT_EQ(captureCount(), capturesBefore);
    EXPECT_TRUE(server->rdpStarted());
    EXPECT_FALSE(server->speedTestServer());
    EXPECT_EQ(server->activeConnection(), connection);
    EXPECT_EQ(fakes.shell->currentConnectedClient(), "device-A");
}
