// A sharing session end to end on a headless Xorg with the dummy driver: the real control server
// with the X11 capture, the software encoder and the virtual display library, and a client over
// QUIC on loopback that connects, starts the session, registers on the video port, asks for the
// video, decodes it and stops the session.
#include "base/Base64.h"
#include "base/testing/Eventually.h"
#include "base/testing/MainLoop.h"
#include "base/testing/PortBlock.h"
#include "client/StreamClient.h"
#include "comm/ControlServer.h"
#include "comm/testing/RecordingSessionEnvironment.h"
#include "phantomScreen/PhantomScreenInf.h"
#include "phantomScreen/PhantomScreenService.h"
#include "platform/capture/x11/X11CaptureService.h"
#include "platform/display/x11/X11DisplayService.h"
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

[[maybe_unused]] auto* const mainLoop =
    ::testing::AddGlobalTestEnvironment(new testing::MainLoopEnvironment);

// Virtual displays, X round trips and the first encoded frames take their time on a loaded machine.
constexpr auto settle = 15s;

std::unique_ptr<StreamClient> videoStream(int port) {
    return StreamClient::connect("127.0.0.1", static_cast<std::uint16_t>(port),
                                 StreamOptions::media());
}

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

        displays = std::make_unique<X11DisplayService>(std::string{}, reports.sink());
        virtualDisplays = std::make_shared<PhantomScreenService>(
            std::make_shared<PhantomScreenInf>(*displays, DispatchQueue::main(), LIBRARY_PATH),
            DispatchQueue::global());
        virtualDisplays->initService();
        ASSERT_TRUE(virtualDisplays->inf().isLoaded());
        before = testing::xrandr();

        SessionEnvironment environment;
        environment.settings = std::make_shared<testing::TestControlSettings>();
        environment.capture = std::make_shared<X11CaptureService>();
        environment.codec = std::make_shared<X265VideoCodecService>();
        environment.displayArrangement = DisplayArrangement::make(*displays, DispatchQueue::main());
        environment.virtualDisplays = virtualDisplays;
        server = ControlServer::make(static_cast<std::uint16_t>(basePort),
                                     DispatchQueue::dedicated("ControlQueue"), "ControlServer",
                                     environment);
        server->start();

        control = StreamClient::connect("127.0.0.1", static_cast<std::uint16_t>(basePort));
        ASSERT_TRUE(control->waitForState(ConnectionState::ready, settle));
        ConnectReq request;
        request.clientDeviceID = "headset-1";
        request.password = base64Encode(std::string("Ez3Kq$vn"));
        control->send(Packet(PacketType::pktInteractiveTap, InteractionType::connect,
                             bytesOf(request.toJson())));
        ASSERT_TRUE(control->waitFor(
            [](const Packet& p) { return p.subType == InteractionType::ret200; }, settle));
    }
    void TearDown() override {
        control.reset();
        if (server) {
            server->endSession();
            server->stop();
        }
        std::this_thread::sleep_for(400ms);
        DispatchQueue::main().sync([] {});
        server.reset();
        if (virtualDisplays) {
            DispatchQueue::main().sync([&] { virtualDisplays->stopService(); });
            virtualDisplays->destroyService();
        }
        virtualDisplays.reset();
        displays.reset();
        if (desktop) desktop->stop();
        if (!HasFailure())
            std::filesystem::remove_all("/tmp/vl-vsys/desktop-" + std::to_string(getpid()));
    }

    std::size_t captureCount() {
        std::size_t count = 0;
        server->withSession([&](SharingSession& session) { count = session.captureCount(); });
        return count;
    }
    SharedItem start(InteractionType subType, const std::string& descriptor) {
        Packet ask(PacketType::pktInteractiveTap, subType, bytesOf(base64Encode(descriptor)));
        control->send(ask);
        auto answer =
            control->waitFor([&](const Packet& p) { return p.packetId == ask.packetId; }, settle);
        EXPECT_TRUE(answer && answer->data);
        if (!answer || !answer->data) return {};
        return SharedItem::fromJson(*answer->data).value_or(SharedItem{});
    }
    void askForVideo(const SharedItem& item) {
        control->send(Packet(PacketType::pktInteractiveTap, InteractionType::rdpVideo,
                             bytesOf(item.sharedID)));
    }
    // Whether the server has taken the video registration on the item's port.
    bool registered(const SharedItem& item) {
        return testing::eventually(
            [&] {
                bool taken = false;
                server->withSession([&](SharingSession& session) {
                    auto video = item.sharedVideoPort == basePort + 2
                                     ? session.videoServer()
                                     : session.displayServer(item.sharedVideoPort);
                    taken = video && video->clientConnection();
                });
                return taken;
            },
            settle);
    }

    testing::PortBlock ports{10};  // the control port and the ports it derives
    const int basePort = ports.first();
    testing::Reports reports;
    std::unique_ptr<HeadlessDesktop> desktop;
    std::unique_ptr<X11DisplayService> displays;
    std::shared_ptr<PhantomScreenService> virtualDisplays;
    testing::XrandrState before;
    std::shared_ptr<ControlServer> server;
    std::unique_ptr<StreamClient> control;
};

TEST_F(VideoSessionTest, TheClientSeesTheVirtualDisplayAndTheLayoutReturnsAfterwards) {
    SharedItem item = start(InteractionType::rdpStart, "1280x720@30");
    const DisplayID id = item.sharedType.displayID().value_or(0);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(item.sharedVideoPort, basePort + 2);
    EXPECT_EQ(item.width, 1280);
    EXPECT_EQ(item.height, 720);
    ASSERT_TRUE(testing::eventually([&] { return displays->bounds(id).width == 1280; }, settle));
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

    auto video = videoStream(item.sharedVideoPort);
    ASSERT_TRUE(video->waitForState(ConnectionState::ready, settle));
    video->registerForVideo();
    ASSERT_TRUE(registered(item));  // before the first frame
    askForVideo(item);
    ASSERT_GE(video->waitForPackets(20, 20s).size(), 20u);

    const std::string file = "/tmp/vl-vsys/session-" + std::to_string(getpid()) + ".hevc";
    auto packets = video->packets();
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
    ASSERT_TRUE(testing::eventually([&] { return !server->rdpStarted(); }, settle));
    EXPECT_TRUE(testing::eventually([&] { return testing::xrandr() == before; }, settle))
        << testing::run("xrandr --query");
    EXPECT_EQ(captureCount(), 0u);
}

TEST_F(VideoSessionTest, AnExtraDisplayStreamsOnItsOwnPort) {
    SharedItem item = start(InteractionType::displayStart, "1280x720@30");
    const DisplayID id = item.sharedType.displayID().value_or(0);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(item.sharedVideoPort, basePort + 6);
    ASSERT_TRUE(testing::eventually([&] { return displays->bounds(id).width == 1280; }, settle));
    std::this_thread::sleep_for(500ms);

    auto video = videoStream(item.sharedVideoPort);
    ASSERT_TRUE(video->waitForState(ConnectionState::ready, settle));
    video->registerForVideo();
    ASSERT_TRUE(registered(item));
    askForVideo(item);
    // A still desktop sends frames only when something changes; the first one always comes.
    ASSERT_FALSE(video->waitForPackets(1, 20s).empty());
    auto first = video->packets().front();
    EXPECT_EQ(first.packetId, Uuid::fromString(item.sharedID));
    EXPECT_TRUE(isKeyFrameAccessUnit(*first.data));
    auto decoder = HevcDecoder::create();
    auto pictures = decoder->decode(*first.data);
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(pictures[0].width, 1280);

    control->send(Packet(PacketType::pktInteractiveTap, InteractionType::displayStop,
                         bytesOf(base64Encode(item.sharedID))));
    EXPECT_TRUE(testing::eventually([&] { return testing::xrandr() == before; }, settle))
        << testing::run("xrandr --query");
    EXPECT_EQ(captureCount(), 0u);
}

}  // namespace
}  // namespace vl
