// A sharing session end to end on a headless Xorg with the dummy driver: the real control server
// with the X11 capture, the software encoder and the virtual display library, and a client over
// QUIC on loopback that connects, starts the session, registers on the video port, asks for the
// video, decodes it and stops the session.
#include "app/AppDelegate.h"
#include "app/SystemInfo.h"
#include "base/Base64.h"
#include "comm/AppShell.h"
#include "comm/ControlServer.h"
#include "phantomScreen/PhantomScreenInf.h"
#include "phantomScreen/PhantomScreenService.h"
#include "platform/capture/x11/X11CaptureService.h"
#include "platform/defaults/fake/MemoryDefaults.h"
#include "platform/display/x11/X11DisplayService.h"
#include "platform/host/fake/FakeHostFacts.h"
#include "platform/power/fake/FakePower.h"
#include "platform/security/fake/MemoryKeychain.h"
#include "platform/videocodec/libavcodec/HevcDecoder.h"
#include "platform/videocodec/x265/X265VideoCodecService.h"
#include "tests/display/TestDesktop.h"

#include <unistd.h>
#include <xcb/xcb.h>

#include <atomic>
#include <cstdlib>
#include <fstream>

namespace vl {
namespace {

using namespace std::chrono_literals;

class MainLoop : public ::testing::Environment {
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
[[maybe_unused]] const auto* mainLoop = ::testing::AddGlobalTestEnvironment(new MainLoop);

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 15s) {
    for (auto end = Clock::now() + timeout; Clock::now() < end; std::this_thread::sleep_for(20ms))
        if (condition()) return true;
    return condition();
}

// One client stream: sends packets, collects every packet that arrives (bare keepalive bytes
// between packets are skipped).
class ClientStream {
  public:
    ClientStream(std::uint16_t port) : connection_(connectQuic("127.0.0.1", port, {})) {
        auto shared = shared_;
        connection_->setStateUpdateHandler(
            [shared](ConnectionState state, std::optional<NetworkError>) {
                std::lock_guard lock(shared->mutex);
                shared->state = state;
            });
        connection_->start(queue_);
        arm(connection_, shared_);
    }
    ~ClientStream() {
        connection_->setStateUpdateHandler(nullptr);
        connection_->cancel();
    }
    bool waitReady() {
        return eventually([&] {
            std::lock_guard lock(shared_->mutex);
            return shared_->state == ConnectionState::ready;
        });
    }
    void send(const Packet& packet) { connection_->send(packet.encode(), false, nullptr); }
    std::optional<Packet> waitFor(const std::function<bool(const Packet&)>& match,
                                  std::chrono::milliseconds timeout = 15s) {
        std::optional<Packet> found;
        eventually(
            [&] {
                std::lock_guard lock(shared_->mutex);
                for (const Packet& packet : shared_->packets)
                    if (match(packet)) {
                        found = packet;
                        return true;
                    }
                return false;
            },
            timeout);
        return found;
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
        connection->receive(
            1, 65536,
            [weak, shared](std::optional<Bytes> data, bool, std::optional<NetworkError> error) {
                if (!data || data->empty() || error) return;
                {
                    std::lock_guard lock(shared->mutex);
                    shared->buffer.insert(shared->buffer.end(), data->begin(), data->end());
                    for (;;) {
                        while (!shared->buffer.empty() &&
                               shared->buffer.size() < Packet::headerSize &&
                               shared->buffer.front() == 0)
                            shared->buffer.erase(shared->buffer.begin());
                        auto packet = Packet::decode(shared->buffer);
                        if (!packet) break;
                        shared->buffer.erase(shared->buffer.begin(),
                                             shared->buffer.begin() + packet->frameSize());
                        shared->packets.push_back(std::move(*packet));
                    }
                }
                if (auto connection = weak.lock()) arm(connection, shared);
            });
    }

    DispatchQueue queue_{"ClientStreamQueue"};
    std::shared_ptr<Connection> connection_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

// A window of one colour that the window manager leaves alone, drawn by its own X client.
class ColourWindow {
  public:
    ColourWindow(DisplayRect rect, std::uint32_t rgb) {
        connection_ = xcb_connect(nullptr, nullptr);
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        window_ = xcb_generate_id(connection_);
        const std::uint32_t values[] = {rgb, 1};
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen->root,
                          static_cast<std::int16_t>(rect.x), static_cast<std::int16_t>(rect.y),
                          static_cast<std::uint16_t>(rect.width),
                          static_cast<std::uint16_t>(rect.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT,
                          values);
        xcb_map_window(connection_, window_);
        xcb_flush(connection_);
    }
    ~ColourWindow() { xcb_disconnect(connection_); }
    bool ok() const { return xcb_connection_has_error(connection_) == 0; }
    void moveTo(int x, int y) {
        const std::uint32_t values[] = {static_cast<std::uint32_t>(x),
                                        static_cast<std::uint32_t>(y)};
        xcb_configure_window(connection_, window_, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y,
                             values);
        xcb_flush(connection_);
    }

  private:
    xcb_connection_t* connection_ = nullptr;
    xcb_window_t window_ = 0;
};

class VideoSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        HeadlessDesktop::Options options;
        options.firstDisplay = 85;
        options.lastDisplay = 89;
        options.workDirectory = "/tmp/vl-vsys/desktop-" + std::to_string(getpid());
        std::filesystem::create_directories("/tmp/vl-vsys");
        desktop = std::make_unique<HeadlessDesktop>(options, reports.sink());
        auto running = testing::startWaitingForANumber(reports, [&] { return desktop->start(); });
        ASSERT_TRUE(running) << reports.all();
        HeadlessDesktop::exportEnvironment(*running);

        SystemInfo::configure({std::make_shared<MemoryDefaults>(),
                               std::make_shared<MemoryKeychain>(), std::make_shared<FakePower>(),
                               std::make_shared<FakeHostFacts>()});
        app->applicationDidFinishLaunching();
        setApp(app);

        displays = std::make_unique<X11DisplayService>(std::string{}, reports.sink());
        PhantomScreenInf::setDisplayService(displays.get());
        PhantomScreenInf::setLibraryPath(LIBRARY_PATH);
        PhantomScreenService::initService();
        ASSERT_TRUE(PhantomScreenInf::isLoaded());
        before = testing::xrandr();

        server = std::make_shared<ControlServer>(static_cast<std::uint16_t>(basePort),
                                                 std::make_shared<DispatchQueue>("ControlQueue"),
                                                 "ControlServer");
        server->observeClientDisconnect();
        server->setSharingServices({std::make_shared<X11CaptureService>(),
                                    std::make_shared<X265VideoCodecService>(),
                                    DisplayArrangement::make(*displays)});
        server->start();

        control = std::make_unique<ClientStream>(static_cast<std::uint16_t>(basePort));
        ASSERT_TRUE(control->waitReady());
        ConnectReq request;
        request.clientDeviceID = "headset-1";
        request.password = base64Encode(std::string(SystemInfo::defaultPassword));
        control->send(Packet(PacketType::pktInteractiveTap, InteractionType::connect,
                             bytesOf(request.toJson())));
        ASSERT_TRUE(
            control->waitFor([](const Packet& p) { return p.subType == InteractionType::ret200; }));
    }
    void TearDown() override {
        control.reset();
        if (server) {
            server->handleRdpStop();
            server->stop();
        }
        std::this_thread::sleep_for(400ms);
        DispatchQueue::main().sync([] {});
        server.reset();
        PhantomScreenService::stopService();
        PhantomScreenService::destroyService();
        PhantomScreenInf::setDisplayService(nullptr);
        displays.reset();
        app->applicationWillTerminate();
        setApp(nullptr);
        if (desktop) desktop->stop();
        if (!HasFailure())
            std::filesystem::remove_all("/tmp/vl-vsys/desktop-" + std::to_string(getpid()));
    }

    SharedItem start(InteractionType subType, const std::string& descriptor) {
        Packet ask(PacketType::pktInteractiveTap, subType, bytesOf(base64Encode(descriptor)));
        control->send(ask);
        auto answer = control->waitFor([&](const Packet& p) { return p.packetId == ask.packetId; });
        EXPECT_TRUE(answer && answer->data);
        if (!answer || !answer->data) return {};
        return SharedItem::fromJson(*answer->data).value_or(SharedItem{});
    }
    void askForVideo(const SharedItem& item) {
        control->send(Packet(PacketType::pktInteractiveTap, InteractionType::rdpVideo,
                             bytesOf(item.sharedID)));
    }

    const int basePort = 21000 + static_cast<int>(getpid() % 3000) * 10;
    testing::Reports reports;
    std::unique_ptr<HeadlessDesktop> desktop;
    std::shared_ptr<AppDelegate> app = std::make_shared<AppDelegate>(AppDelegate::Hooks{});
    std::unique_ptr<X11DisplayService> displays;
    testing::XrandrState before;
    std::shared_ptr<ControlServer> server;
    std::unique_ptr<ClientStream> control;
};

TEST_F(VideoSessionTest, TheClientSeesTheVirtualDisplayAndTheLayoutReturnsAfterwards) {
    SharedItem item = start(InteractionType::rdpStart, "1280x720@30");
    const DisplayID id = item.sharedType.displayID().value_or(0);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(item.sharedVideoPort, basePort + 2);
    EXPECT_EQ(item.width, 1280);
    EXPECT_EQ(item.height, 720);
    ASSERT_TRUE(eventually([&] { return displays->bounds(id).width == 1280; }));
    // Once extended beside the main display, the display's rectangle stays put.
    std::this_thread::sleep_for(1s);
    const DisplayRect rect = displays->bounds(id);

    ColourWindow window(rect, 0xC81E28);  // (200, 30, 40)
    ASSERT_TRUE(window.ok());
    // A small window that keeps moving along the top edge, so that frames keep coming.
    ColourWindow ticker({rect.x, rect.y, 32, 32}, 0x20E040);
    std::atomic<bool> ticking{true};
    std::thread mover([&] {
        for (int step = 0; ticking; ++step) {
            ticker.moveTo(static_cast<int>(rect.x) + (step * 8) % 600, static_cast<int>(rect.y));
            std::this_thread::sleep_for(15ms);
        }
    });
    struct Join {
        std::atomic<bool>& flag;
        std::thread& thread;
        ~Join() {
            flag = false;
            thread.join();
        }
    } join{ticking, mover};

    ClientStream video(static_cast<std::uint16_t>(item.sharedVideoPort));
    ASSERT_TRUE(video.waitReady());
    video.send(Packet(PacketType::pktVideoStreamData, InteractionType::rdpVideo));
    std::this_thread::sleep_for(300ms);  // registered before the first frame
    askForVideo(item);
    ASSERT_TRUE(eventually([&] { return video.packets().size() >= 20; }, 20s));

    const std::string file = "/tmp/vl-vsys/session-" + std::to_string(getpid()) + ".hevc";
    auto packets = video.packets();
    {
        std::ofstream out(file, std::ios::binary);
        for (const Packet& packet : packets)
            out.write(reinterpret_cast<const char*>(packet.data->data()),
                      static_cast<std::streamsize>(packet.data->size()));
    }
    auto decoder = HevcDecoder::create();
    ASSERT_TRUE(decoder);
    std::optional<DecodedPicture> last;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].packetId, Uuid::fromString(item.sharedID));
        ASSERT_TRUE(packets[i].data);
        EXPECT_EQ(isKeyFrameAccessUnit(*packets[i].data), i == 0) << "packet " << i;
        auto pictures = decoder->decode(*packets[i].data);
        ASSERT_EQ(pictures.size(), 1u) << "packet " << i;
        last = pictures[0];
    }
    EXPECT_EQ(decoder->errorCount(), 0) << decoder->lastError();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->width, 1280);
    EXPECT_EQ(last->height, 720);
    Bytes rgb = toRGB24(*last);
    const std::size_t centre = (360 * 1280 + 640) * 3;
    EXPECT_NEAR(rgb[centre], 200, 16);
    EXPECT_NEAR(rgb[centre + 1], 30, 16);
    EXPECT_NEAR(rgb[centre + 2], 40, 16);

    // An independent reading of the recording: one HEVC stream of the requested size without
    // B-frames, one packet per access unit sent.
    const std::string streams = testing::run(
        "ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height,"
        "has_b_frames -of default=nw=1 " +
        file);
    EXPECT_NE(streams.find("codec_name=hevc"), std::string::npos) << streams;
    EXPECT_NE(streams.find("width=1280"), std::string::npos) << streams;
    EXPECT_NE(streams.find("height=720"), std::string::npos) << streams;
    EXPECT_NE(streams.find("has_b_frames=0"), std::string::npos) << streams;
    const std::string count = testing::run(
        "ffprobe -v error -select_streams v:0 -count_packets -show_entries "
        "stream=nb_read_packets -of csv=p=0 " +
        file);
    EXPECT_EQ(std::atoi(count.c_str()), static_cast<int>(packets.size())) << count;
    std::filesystem::remove(file);

    // Stopping removes the virtual display; the X screen returns to its layout.
    Packet stop(PacketType::pktInteractiveTap, InteractionType::rdpStop);
    control->send(stop);
    ASSERT_TRUE(eventually([&] { return !server->rdpStarted(); }));
    EXPECT_TRUE(eventually([&] { return testing::xrandr() == before; }))
        << testing::run("xrandr --query");
    EXPECT_EQ(server->captureCount(), 0u);
}

TEST_F(VideoSessionTest, AnExtraDisplayStreamsOnItsOwnPort) {
    SharedItem item = start(InteractionType::displayStart, "1280x720@30");
    const DisplayID id = item.sharedType.displayID().value_or(0);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(item.sharedVideoPort, basePort + 6);
    ASSERT_TRUE(eventually([&] { return displays->bounds(id).width == 1280; }));
    std::this_thread::sleep_for(500ms);

    ClientStream video(static_cast<std::uint16_t>(item.sharedVideoPort));
    ASSERT_TRUE(video.waitReady());
    video.send(Packet(PacketType::pktVideoStreamData, InteractionType::rdpVideo));
    std::this_thread::sleep_for(300ms);
    askForVideo(item);
    // A still desktop sends frames only when something changes; the first one always comes.
    ASSERT_TRUE(eventually([&] { return !video.packets().empty(); }, 20s));
    auto first = video.packets().front();
    EXPECT_EQ(first.packetId, Uuid::fromString(item.sharedID));
    EXPECT_TRUE(isKeyFrameAccessUnit(*first.data));
    auto decoder = HevcDecoder::create();
    auto pictures = decoder->decode(*first.data);
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(pictures[0].width, 1280);

    control->send(Packet(PacketType::pktInteractiveTap, InteractionType::displayStop,
                         bytesOf(base64Encode(item.sharedID))));
    EXPECT_TRUE(eventually([&] { return testing::xrandr() == before; }))
        << testing::run("xrandr --query");
    EXPECT_EQ(server->captureCount(), 0u);
}

}  // namespace
}  // namespace vl
