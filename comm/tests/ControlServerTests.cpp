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
#include "libPhantomScreen/platform/fake/FakeVirtualDisplays.h"
#include "phantomScreen/PhantomScreenInf.h"
#include "phantomScreen/PhantomScreenService.h"
#include "platform/capture/fake/FakeCaptureService.h"
#include "platform/videocodec/fake/FakeVideoCodecService.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
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

// MARK: - Sharing sessions

namespace {

// The main queue runs on a thread of its own for the whole test program.
class MainLoopEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        thread_ = std::thread([] { DispatchQueue::runMain(); });
    }
    void TearDown() override {
        DispatchQueue::main().sync([] {});
        DispatchQueue::stopMain();
        thread_.join();
    }

private:
    std::thread thread_;
};
[[maybe_unused]] auto* const mainLoop =
    ::testing::AddGlobalTestEnvironment(new MainLoopEnvironment);

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
    for (auto end = Clock::now() + timeout; Clock::now() < end; std::this_thread::sleep_for(10ms))
        if (condition()) return true;
    return condition();
}

// Records the steps that other subsystems own, in the order the session takes them.
class RecordingControlServer : public ControlServer {
public:
    using ControlServer::ControlServer;
    std::vector<std::string> steps() const {
        std::lock_guard lock(stepsMutex_);
        return steps_;
    }
    int count(const std::string& step) const {
        auto all = steps();
        return static_cast<int>(std::count(all.begin(), all.end(), step));
    }

protected:
    void record(std::string step) {
        std::lock_guard lock(stepsMutex_);
        steps_.push_back(std::move(step));
    }
    void rememberAllDisplays() override { record("rememberAllDisplays"); }
    void setMainDisplay(DisplayID id) override { record("setMainDisplay " + std::to_string(id)); }
    void moveAllWindowsToDisplay(DisplayID id) override {
        record("moveAllWindowsToDisplay " + std::to_string(id));
    }
    void restoreWindowLayout(const std::string& client, const std::string& resolution) override {
        record("restoreWindowLayout " + client + " " + resolution);
    }
    void saveWindowLayout(const std::string& client, const std::string& resolution) override {
        record("saveWindowLayout " + client + " " + resolution);
    }
    void startNewWindowObserver(DisplayID id) override {
        record("startNewWindowObserver " + std::to_string(id));
    }
    void stopNewWindowObserver() override { record("stopNewWindowObserver"); }
    void restoreMainDisplay() override { record("restoreMainDisplay"); }
    void restoreAllWindows() override { record("restoreAllWindows"); }
    void startAudio(std::optional<int>) override { record("startAudio"); }
    void stopAudio() override { record("stopAudio"); }
    void startVisionProMic() override { record("startVisionProMic"); }
    void stopVisionProMic() override { record("stopVisionProMic"); }
    void startVisionProCam() override { record("startVisionProCam"); }
    void stopVisionProCam() override { record("stopVisionProCam"); }
    void startClipboardMonitor() override { record("startClipboardMonitor"); }
    void stopClipboardMonitor() override { record("stopClipboardMonitor"); }
    void startConstrainingCursor(DisplayID id) override {
        record("startConstrainingCursor " + std::to_string(id));
    }
    void stopConstrainingCursor() override { record("stopConstrainingCursor"); }

private:
    mutable std::mutex stepsMutex_;
    std::vector<std::string> steps_;
};

// A video client over real QUIC on loopback: registers and collects the packets that arrive.
class VideoReceiver {
public:
    explicit VideoReceiver(std::uint16_t port)
        : connection_(connectQuic("127.0.0.1", port, QuicParameters{})) {
        auto shared = shared_;
        connection_->setStateUpdateHandler(
            [shared](ConnectionState state, std::optional<NetworkError>) {
                std::lock_guard lock(shared->mutex);
                shared->state = state;
            });
        connection_->start(queue_);
        arm(connection_, shared_);
    }
    ~VideoReceiver() {
        connection_->setStateUpdateHandler(nullptr);
        connection_->cancel();
    }
    bool registerForVideo() {
        if (!eventually([&] {
                std::lock_guard lock(shared_->mutex);
                return shared_->state == ConnectionState::ready;
            }))
            return false;
        Packet hello(PacketType::pktVideoStreamData, InteractionType::rdpVideo);
        connection_->send(hello.encode(), false, nullptr);
        return true;
    }
    std::vector<Packet> packets() const {
        std::lock_guard lock(shared_->mutex);
        return shared_->packets;
    }

private:
    struct Shared {
        mutable std::mutex mutex;
        ConnectionState state = ConnectionState::setup;
        Bytes buffer;
        std::vector<Packet> packets;
    };
    static void arm(const std::shared_ptr<Connection>& connection,
                    const std::shared_ptr<Shared>& shared) {
        std::weak_ptr<Connection> weak = connection;
        connection->receive(1, 65536, [weak, shared](std::optional<Bytes> data, bool,
                                                     std::optional<NetworkError> error) {
            if (!data || data->empty() || error) return;
            {
                std::lock_guard lock(shared->mutex);
                shared->buffer.insert(shared->buffer.end(), data->begin(), data->end());
                while (auto packet = Packet::decode(shared->buffer)) {
                    shared->buffer.erase(shared->buffer.begin(),
                                         shared->buffer.begin() + packet->frameSize());
                    shared->packets.push_back(std::move(*packet));
                }
            }
            if (auto connection = weak.lock()) arm(connection, shared);
        });
    }

    DispatchQueue queue_{"VideoReceiverQueue"};
    std::shared_ptr<Connection> connection_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

using InstallFunction = void (*)(const std::shared_ptr<ps::VirtualDisplayPlatform>*);

// A 1920x1080 main display; virtual displays come from the library loaded by path over fakes;
// capture and codec are fakes; video ports are real QUIC listeners on a port range of this
// process.
class SharingSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        SystemInfo::configure({std::make_shared<MemoryDefaults>(),
                               std::make_shared<MemoryKeychain>(), std::make_shared<FakePower>(),
                               std::make_shared<FakeHostFacts>()});
        app->applicationDidFinishLaunching();
        setApp(app);
        arrangement.addDisplay(FakeDisplayService::make(1, {0, 0, 1920, 1080}));
        library = dlopen(FAKE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        install = reinterpret_cast<InstallFunction>(
            dlsym(library, "vlPhantomScreenInstallPlatform"));
        ASSERT_NE(install, nullptr);
        std::shared_ptr<ps::VirtualDisplayPlatform> platform = virtuals;
        install(&platform);
        PhantomScreenInf::setDisplayService(&arrangement);
        PhantomScreenInf::setLibraryPath(FAKE_LIBRARY_PATH);

        Logger::shared().setCaptureHook([this](const std::string& line) {
            std::lock_guard lock(linesMutex);
            lines.push_back(line);
        });
        server = std::make_shared<RecordingControlServer>(basePort, queue, "ControlServer");
        server->observeClientDisconnect();
        server->setSharingServices({captureService, codec, DisplayArrangement::make(arrangement)});
        connection = std::make_shared<FakeConnection>("127.0.0.1:50000");
        server->handleConnection(connection);
        connection->setState(ConnectionState::ready);
        connection->deliver(connectPacket("device-A", "Ez3Kq$vn"));
        connection->clearSent();
    }
    void TearDown() override {
        if (server) server->handleRdpStop();
        std::this_thread::sleep_for(400ms);  // work the display steps posted
        DispatchQueue::main().sync([] {});
        server.reset();
        PhantomScreenService::stopService();
        PhantomScreenInf::release();
        if (install) install(nullptr);
        PhantomScreenInf::setDisplayService(nullptr);
        PhantomScreenInf::setLibraryPath(std::nullopt);
        if (library) dlclose(library);
        Logger::shared().flush();
        Logger::shared().setCaptureHook(nullptr);
        app->applicationWillTerminate();
        setApp(nullptr);
        SystemInfo::restoreSystemSleepOrLock();
    }

    bool logged(const std::string& text) {
        return eventually(
            [&] {
                Logger::shared().flush();
                std::lock_guard lock(linesMutex);
                return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
                    return line.find(text) != std::string::npos;
                });
            },
            3s);
    }
    // The answer to the request with this id, once it has been sent.
    std::optional<SharedItem> answerTo(const Packet& request,
                                       std::chrono::milliseconds timeout = 10s) {
        std::optional<SharedItem> item;
        eventually(
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
        connection->deliver(Packet(PacketType::pktInteractiveTap, InteractionType::rdpVideo,
                                   bytesOf(item.sharedID))
                                .encode());
    }
    static DisplayID displayOf(const SharedItem& item) {
        return item.sharedType.displayID().value_or(0);
    }

    // Each test process takes its own ports, so runs side by side do not collide.
    const int basePort = 20000 + static_cast<int>(getpid() % 4000) * 10;
    FakeDisplayService arrangement;
    std::shared_ptr<ps::FakeVirtualDisplays> virtuals =
        std::make_shared<ps::FakeVirtualDisplays>(arrangement);
    void* library = nullptr;
    InstallFunction install = nullptr;
    std::shared_ptr<FakeCaptureService> captureService = std::make_shared<FakeCaptureService>();
    std::shared_ptr<FakeVideoCodecService> codec = std::make_shared<FakeVideoCodecService>();
    std::shared_ptr<AppDelegate> app = std::make_shared<AppDelegate>(AppDelegate::Hooks{});
    std::shared_ptr<DispatchQueue> queue = std::make_shared<DispatchQueue>("ControlRequestQueue");
    std::shared_ptr<RecordingControlServer> server;
    std::shared_ptr<FakeConnection> connection;
    std::mutex linesMutex;
    std::vector<std::string> lines;
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
    EXPECT_EQ(server->requestedFPS(), 60);
    EXPECT_EQ(server->currentResolution(), "1920x1080");
    EXPECT_TRUE(server->rdpStarted());
    EXPECT_TRUE(server->sharingItems().contains(item.sharedID));

    auto video = server->videoServer();
    ASSERT_TRUE(video);
    EXPECT_TRUE(video->isListening());
    EXPECT_EQ(video->boundPort(), basePort + 2);
    EXPECT_EQ(video->authorizedClientAddress(), "127.0.0.1");

    // The display is taken out of mirroring beside the main display, then the windows follow.
    const std::string display = std::to_string(id);
    ASSERT_TRUE(eventually([&] { return server->count("startNewWindowObserver " + display) == 1; }));
    EXPECT_EQ(arrangement.mirrorsDisplay(id), nullDisplayID);
    EXPECT_GE(arrangement.bounds(id).x, 1920);  // beside the main display
    auto steps = server->steps();
    std::vector<std::string> expected = {
        "rememberAllDisplays", "startAudio", "startVisionProCam", "startVisionProMic",
        "startClipboardMonitor", "setMainDisplay " + display, "moveAllWindowsToDisplay " + display,
        "moveAllWindowsToDisplay " + display, "restoreWindowLayout device-A 1920x1080",
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
    EXPECT_EQ(server->requestedFPS(), 75);
    EXPECT_EQ(server->currentResolution(), "1920x1080");
}

TEST_F(SharingSessionTest, DescriptorsWithoutASizeAreDroppedWithoutAnAnswer) {
    connection->deliver(framed(InteractionType::rdpStart));
    connection->deliver(descriptorPacket(InteractionType::rdpStart, "@60 HDR").encode());
    connection->deliver(framed(InteractionType::rdpStart, "not base64!"));
    connection->deliver(descriptorPacket(InteractionType::displayStart, "portrait:true").encode());
    EXPECT_TRUE(logged("****** displayStr: @60 HDR"));
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(packetsSent(*connection).empty());
    EXPECT_FALSE(server->videoServer());
    EXPECT_EQ(PhantomScreenInf::findPS(), std::nullopt);
    EXPECT_TRUE(server->rdpStarted());  // flagged before anything can fail
    server->handleRdpStop();
    EXPECT_FALSE(server->rdpStarted());
}

TEST_F(SharingSessionTest, VideoOfTheMainItemReachesItsClientUntilTheSessionStops) {
    SharedItem item = startMainSession();
    const DisplayID id = displayOf(item);
    captureService->setDisplays({{id, 1920, 1080}});
    VideoReceiver receiver(static_cast<std::uint16_t>(item.sharedVideoPort));
    ASSERT_TRUE(receiver.registerForVideo());
    ASSERT_TRUE(eventually([&] { return server->videoServer()->clientConnection() != nullptr; }));

    askForVideo(item);
    ASSERT_TRUE(eventually([&] { return captureService->runningStreamCount(id) == 1; }));
    auto capture = server->capture(item.sharedID);
    ASSERT_TRUE(capture);
    EXPECT_EQ(capture->config().fps, 60);  // the session's requested rate
    EXPECT_EQ(capture->config().keyFrameIntervalSeconds, 2.0);
    EXPECT_TRUE(capture->config().showsCursor);
    captureService->emitFrame(id);
    captureService->emitFrame(id);
    ASSERT_TRUE(eventually([&] { return receiver.packets().size() == 2; }));
    auto packets = receiver.packets();
    for (const Packet& packet : packets) {
        EXPECT_EQ(packet.packetId, Uuid::fromString(item.sharedID));
        EXPECT_EQ(packet.type, PacketType::pktVideoStreamData);
        EXPECT_EQ(packet.subType, InteractionType::rdpVideo);
    }
    EXPECT_TRUE(isKeyFrameAccessUnit(*packets[0].data));
    EXPECT_FALSE(isKeyFrameAccessUnit(*packets[1].data));
    // The cursor is confined once, with the first frame.
    const std::string confine = "startConstrainingCursor " + std::to_string(id);
    ASSERT_TRUE(eventually([&] { return server->count(confine) == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(server->count(confine), 1);

    connection->deliver(framed(InteractionType::rdpStop));
    EXPECT_FALSE(server->rdpStarted());
    EXPECT_EQ(captureService->runningStreamCount(id), 0);
    EXPECT_FALSE(capture->isCapturing());
    EXPECT_TRUE(codec->sessions().back()->invalidated);
    EXPECT_EQ(server->captureCount(), 0u);
    EXPECT_TRUE(server->sharingItems().empty());
    EXPECT_FALSE(server->videoServer());
    EXPECT_FALSE(server->currentResolution());
    EXPECT_EQ(PhantomScreenInf::findPS(), std::nullopt);
    EXPECT_FALSE(arrangement.display(id));
    for (const char* step : {"saveWindowLayout device-A 1920x1080", "stopClipboardMonitor",
                             "stopNewWindowObserver", "stopAudio", "stopVisionProMic",
                             "stopVisionProCam", "stopConstrainingCursor", "restoreMainDisplay",
                             "restoreAllWindows"})
        EXPECT_EQ(server->count(step), 1) << step;
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
        ASSERT_TRUE(server->displayServer(basePort + 6 + i));
        EXPECT_TRUE(server->displayServer(basePort + 6 + i)->isListening());
    }
    EXPECT_EQ(server->extraDisplayMask(), 0x0f);
    EXPECT_FALSE(startExtraDisplay("1280x720", 300ms));  // no fifth answer
    EXPECT_TRUE(logged("handleDisplayStart: all four extra display slots are taken"));

    // Stopping the slot-2 display frees its port, its server and its virtual display.
    const DisplayID second = displayOf(items[1]);
    connection->deliver(framed(InteractionType::displayStop, base64Encode(items[1].sharedID)));
    EXPECT_TRUE(logged("handleDisplayStop: stopping display server on port " +
                       std::to_string(basePort + 7)));
    EXPECT_TRUE(logged("handleDisplayStop: removing virtual display " + std::to_string(second)));
    EXPECT_FALSE(server->displayServer(basePort + 7));
    EXPECT_EQ(server->extraDisplayMask(), 0x0d);
    EXPECT_FALSE(arrangement.display(second));
    EXPECT_FALSE(server->sharingItems().contains(items[1].sharedID));

    auto portrait = startExtraDisplay("1920x1080@60 portrait:true");
    ASSERT_TRUE(portrait);
    EXPECT_EQ(portrait->sharedVideoPort, basePort + 7);
    EXPECT_EQ(portrait->width, 1080);
    EXPECT_EQ(portrait->height, 1920);

    // An unknown share identity is reported and changes nothing.
    connection->deliver(framed(InteractionType::displayStop, base64Encode(std::string("nope"))));
    EXPECT_TRUE(logged("handleDisplayStop: no shared item for shareId nope"));
    EXPECT_EQ(server->extraDisplayMask(), 0x0f);

    // The session's teardown frees every slot and display, with or without a main session.
    connection->deliver(framed(InteractionType::rdpStop));
    EXPECT_EQ(server->extraDisplayMask(), 0);
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(server->displayServer(basePort + 6 + i));
    EXPECT_EQ(PhantomScreenInf::findPS(), std::nullopt);
}

TEST_F(SharingSessionTest, AnExtraDisplayStreamsOnItsOwnPortAtItsOwnRate) {
    auto item = startExtraDisplay("1280x720@48");
    ASSERT_TRUE(item);
    const DisplayID id = displayOf(*item);
    captureService->setDisplays({{id, 1280, 720}});
    VideoReceiver receiver(static_cast<std::uint16_t>(item->sharedVideoPort));
    ASSERT_TRUE(receiver.registerForVideo());
    ASSERT_TRUE(eventually(
        [&] { return server->displayServer(item->sharedVideoPort)->clientConnection() != nullptr; }));
    askForVideo(*item);
    ASSERT_TRUE(eventually([&] { return captureService->runningStreamCount(id) == 1; }));
    EXPECT_EQ(server->capture(item->sharedID)->config().fps, 48);
    captureService->emitFrame(id);
    ASSERT_TRUE(eventually([&] { return receiver.packets().size() == 1; }));
    EXPECT_EQ(receiver.packets()[0].packetId, Uuid::fromString(item->sharedID));

    // displayStop ends its capture too.
    connection->deliver(framed(InteractionType::displayStop, base64Encode(item->sharedID)));
    EXPECT_EQ(captureService->runningStreamCount(id), 0);
    EXPECT_EQ(server->captureCount(), 0u);
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
    server->stopDisplay(static_cast<int>(extra->sharedVideoPort));
    askForVideo(*extra);
    EXPECT_TRUE(logged("handleRdpVideo: no video server for port " +
                       std::to_string(extra->sharedVideoPort)));

    // The display is not among the shareable ones: the start fails and the capture goes.
    captureService->setDisplays({});
    askForVideo(item);
    EXPECT_TRUE(logged("handleRdpVideo: startCapture failed: Display " +
                       std::to_string(displayOf(item)) + " not found in shareable content."));
    ASSERT_TRUE(eventually([&] { return server->captureCount() == 0; }));
    EXPECT_TRUE(eventually([&] { return server->count("stopConstrainingCursor") == 1; }));

    // The session is intact: once the display can be captured, video starts.
    captureService->setDisplays({{displayOf(item), 1920, 1080}});
    askForVideo(item);
    EXPECT_TRUE(eventually([&] { return captureService->runningStreamCount(displayOf(item)) == 1; }));
    EXPECT_TRUE(server->rdpStarted());
}

TEST_F(SharingSessionTest, RdpStopWithNothingStartedChangesNothing) {
    connection->deliver(framed(InteractionType::rdpStop));
    server->handleRdpStop();
    EXPECT_TRUE(server->steps().empty());
    EXPECT_FALSE(server->rdpStarted());
}

TEST_F(SharingSessionTest, ASessionStoppedWhileItsDisplayComesOnlineStartsNothing) {
    Packet start = descriptorPacket(InteractionType::rdpStart, "1920x1080@60");
    connection->deliver(start.encode());
    connection->deliver(framed(InteractionType::rdpStop));
    std::this_thread::sleep_for(600ms);
    EXPECT_FALSE(answerTo(start, 10ms));
    EXPECT_FALSE(server->videoServer());
    EXPECT_EQ(server->count("startAudio"), 0);
    EXPECT_EQ(PhantomScreenInf::findPS(), std::nullopt);
}

TEST_F(SharingSessionTest, TheClientVanishingMidStreamLeavesNoCaptureOrEncoderRunning) {
    SharedItem item = startMainSession();
    const DisplayID id = displayOf(item);
    captureService->setDisplays({{id, 1920, 1080}});
    askForVideo(item);
    ASSERT_TRUE(eventually([&] { return captureService->runningStreamCount(id) == 1; }));
    captureService->emitFrame(id);
    auto capture = server->capture(item.sharedID);
    ASSERT_TRUE(capture);
    (void)capture->frameCount();

    connection->setState(ConnectionState::failed, NetworkError{NetworkError::Code::timedOut, ""});
    EXPECT_FALSE(server->rdpStarted());
    EXPECT_EQ(captureService->runningStreamCount(id), 0);
    EXPECT_FALSE(capture->isCapturing());
    for (const auto& session : codec->sessions()) EXPECT_TRUE(session->invalidated);
    EXPECT_FALSE(server->videoServer());
    EXPECT_EQ(PhantomScreenInf::findPS(), std::nullopt);
}

TEST_F(SharingSessionTest, TheActiveWindowsDisplayIsNamedToTheClientByItsSharedItem) {
    server->handleActiveWindowDisplayChanged(5);  // no session: nothing
    EXPECT_TRUE(packetsSent(*connection).empty());
    SharedItem item = startMainSession();
    auto extra = startExtraDisplay("1280x720");
    ASSERT_TRUE(extra);
    connection->clearSent();

    server->handleActiveWindowDisplayChanged(displayOf(*extra));
    server->handleActiveWindowDisplayChanged(displayOf(item));
    server->handleActiveWindowDisplayChanged(1);  // the physical display is not shared
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
    Logger::shared().flush();
    std::lock_guard lock(linesMutex);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.find("handleMoveWindowToVDIfNotOnVD: relocated") !=
                                       std::string::npos;
                            }),
              1);
}
