// Virtual monitors, their frames and a Wayland witness against a private headless Mutter.
#include "platform/desktop/ChildProcess.h"
#include "platform/mutter/DesktopBackendChoice.h"
#include "platform/mutter/MutterBus.h"
#include "platform/mutter/MutterDisplayConfig.h"
#include "platform/mutter/MutterRemoteSession.h"
#include "platform/mutter/PipeWireVideoStream.h"
#include "platform/mutter/SessionBusNames.h"
#include "tests/wayland/MutterFixture.h"
#include "tests/wayland/WaylandWitness.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

namespace vl {
namespace {

using namespace std::chrono_literals;

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return condition();
}

// What a consumer saw: the newest frame's size and one pixel at its centre.
struct FrameLog {
    std::mutex mutex;
    int frames = 0;
    int width = 0;
    int height = 0;
    std::array<std::uint8_t, 4> centre{};

    std::function<void(const PipeWireVideoFrame&)> sink() {
        return [this](const PipeWireVideoFrame& frame) {
            std::lock_guard lock(mutex);
            ++frames;
            width = frame.width;
            height = frame.height;
            const std::uint8_t* pixel = frame.pixels +
                                        frame.stride * static_cast<std::size_t>(frame.height / 2) +
                                        static_cast<std::size_t>(frame.width / 2) * 4;
            std::copy(pixel, pixel + 4, centre.begin());
        };
    }
    int count() {
        std::lock_guard lock(mutex);
        return frames;
    }
};

class MutterVirtualMonitorTest : public testing::MutterFixture {
  protected:
    std::unique_ptr<MutterRemoteSession> startSession() {
        std::string error;
        auto session = MutterRemoteSession::start(bus, {}, &error);
        EXPECT_TRUE(session) << error << "\n" << desktop->mutterLog();
        return session;
    }

    std::unique_ptr<PipeWireVideoStream> consume(const MutterRemoteSession& session, int width,
                                                 int height, FrameLog& log) {
        std::string error;
        auto stream = PipeWireVideoStream::connect({.node = session.pipeWireNode(),
                                                    .width = width,
                                                    .height = height,
                                                    .frame = log.sink(),
                                                    .ended = {}},
                                                   &error);
        EXPECT_TRUE(stream) << error;
        return stream;
    }

    // The monitors Mutter shows now, by connector.
    std::vector<MutterMonitor> monitors() {
        std::string error;
        auto state = currentDisplayState(*bus, &error);
        EXPECT_TRUE(state) << error;
        return state ? state->monitors : std::vector<MutterMonitor>{};
    }

    std::optional<MutterMonitor> monitorSized(int width, int height) {
        for (const auto& monitor : monitors())
            if (monitor.width == width && monitor.height == height) return monitor;
        return std::nullopt;
    }
};

TEST_F(MutterVirtualMonitorTest, ChoiceOnTheRealBusPicksMutter) {
    auto names = sessionBusNames(desktop->busAddress());
    ASSERT_TRUE(names);
    DesktopSessionFacts facts{.sessionType = "wayland",
                              .waylandDisplay = desktop->waylandDisplay(),
                              .x11Display = {},
                              .sessionBusReachable = true,
                              .sessionBusNames = *names};
    EXPECT_EQ(chooseDesktopBackend(facts).backend, DesktopBackend::mutter);
    // Before any stream, the headless compositor shows no monitor at all.
    EXPECT_TRUE(monitors().empty());
}

TEST_F(MutterVirtualMonitorTest, MonitorTakesTheNegotiatedSizeSitsBesideAndGoesWithItsSession) {
    auto first = startSession();
    ASSERT_TRUE(first);
    EXPECT_NE(first->pipeWireNode(), 0u);
    FrameLog firstFrames;
    auto firstConsumer = consume(*first, 1280, 720, firstFrames);
    ASSERT_TRUE(firstConsumer);
    ASSERT_TRUE(eventually([&] { return monitorSized(1280, 720).has_value(); }))
        << "no 1280x720 monitor in DisplayConfig";
    const auto firstMonitor = *monitorSized(1280, 720);
    EXPECT_EQ(firstMonitor.x, 0);
    EXPECT_EQ(firstConsumer->negotiatedSize(), (std::pair{1280, 720}));
    ASSERT_TRUE(eventually([&] { return firstFrames.count() > 0; })) << "no frame arrived";
    {
        std::lock_guard lock(firstFrames.mutex);
        EXPECT_EQ(firstFrames.width, 1280);
        EXPECT_EQ(firstFrames.height, 720);
    }

    auto second = startSession();
    ASSERT_TRUE(second);
    FrameLog secondFrames;
    auto secondConsumer = consume(*second, 1920, 1080, secondFrames);
    ASSERT_TRUE(eventually([&] { return monitorSized(1920, 1080).has_value(); }));
    const auto secondMonitor = *monitorSized(1920, 1080);
    EXPECT_NE(secondMonitor.connector, firstMonitor.connector);
    EXPECT_EQ(secondMonitor.x, 1280) << "the new monitor sits right of the first";
    EXPECT_EQ(secondMonitor.y, 0);

    // Removing the first: its session stops, its monitor goes, the other stays.
    firstConsumer.reset();
    first.reset();
    EXPECT_TRUE(eventually([&] {
        for (const auto& monitor : monitors())
            if (monitor.connector == firstMonitor.connector) return false;
        return true;
    })) << "the stopped session's monitor is still there";
    auto remaining = monitors();
    ASSERT_EQ(remaining.size(), 1u);
    EXPECT_EQ(remaining[0].connector, secondMonitor.connector);
    EXPECT_FALSE(second->closed());
}

TEST_F(MutterVirtualMonitorTest, FramesShowAWaylandClientAndStopOnAStillScreen) {
    auto session = startSession();
    ASSERT_TRUE(session);
    FrameLog frames;
    auto consumer = consume(*session, 1280, 720, frames);
    ASSERT_TRUE(eventually([&] { return monitorSized(1280, 720).has_value(); }));
    testing::WaylandWitness witness(*desktop, 200, 40, 120);
    ASSERT_TRUE(eventually([&] { return witness.said("size 1280 720"); }, 20s)) << witness.output();
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(frames.mutex);
        // The pointer sits in the middle only once it moved; no input is sent here.
        // GTK and Mutter's GL compositing may round a channel by one.
        auto near = [](int value, int wanted) { return std::abs(value - wanted) <= 1; };
        return near(frames.centre[0], 120) && near(frames.centre[1], 40) &&
               near(frames.centre[2], 200);
    })) << frames.count()
        << " frames; " << witness.output()
        << "the witness's colour never reached a frame; last centre pixel BGR "
        << int(frames.centre[0]) << "," << int(frames.centre[1]) << "," << int(frames.centre[2]);

    // Nothing changes on screen now: no more frames with pixels.
    std::this_thread::sleep_for(1000ms);
    const int settled = frames.count();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(frames.count(), settled) << "frames kept coming from a still screen";
}

}  // namespace
}  // namespace vl
