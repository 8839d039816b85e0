// Capture of a virtual monitor through the capture interface, against a private headless Mutter
// with a Wayland witness painting it.
#include "base/DispatchQueue.h"
#include "platform/capture/ColorConversion.h"
#include "platform/capture/mutter/MutterCaptureService.h"
#include "platform/capture/mutter/MutterCaptureStream.h"
#include "platform/mutter/MutterDisplayConfig.h"
#include "platform/mutter/MutterVirtualMonitor.h"
#include "tests/wayland/MutterFixture.h"
#include "tests/wayland/PrivateMutter.h"
#include "tests/wayland/WaylandWitness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

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

// Luma and chroma of one colour as the converter writes them.
struct Yuv {
    int y = 0, u = 0, v = 0;
};
Yuv converted(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    const std::uint8_t pixels[16] = {blue, green, red, 255, blue, green, red, 255,
                                     blue, green, red, 255, blue, green, red, 255};
    auto buffer = makePixelBuffer(2, 2, PixelFormat::biPlanar420Video8, sdrConversionColor());
    convertBGRAToNV12(pixels, 8, 2, 2, buffer);
    return {buffer.planes[0].bytes[0], buffer.planes[1].bytes[0], buffer.planes[1].bytes[1]};
}

Yuv sample(const PixelBuffer& buffer, int x, int y) {
    const auto& luma = buffer.planes[0];
    const auto& chroma = buffer.planes[1];
    const std::size_t c =
        static_cast<std::size_t>(y / 2) * chroma.bytesPerRow + static_cast<std::size_t>(x / 2) * 2;
    return {luma.bytes[static_cast<std::size_t>(y) * luma.bytesPerRow + x], chroma.bytes[c],
            chroma.bytes[c + 1]};
}

struct Delivered {
    std::mutex mutex;
    int complete = 0;
    int idle = 0;
    int width = 0, height = 0;
    Yuv probe;
};

TEST(MutterCapture, FramesOfAVirtualMonitorShowTheWitnessAndGoIdleOnAStillScreen) {
    if (auto missing = testing::PrivateMutter::missingProgram()) GTEST_SKIP() << *missing;
    std::string error;
    auto desktop = testing::PrivateMutter::start(&error);
    ASSERT_TRUE(desktop) << error;
    setenv("PIPEWIRE_RUNTIME_DIR", desktop->runtimeDirectory().c_str(), 1);
    setenv("XDG_RUNTIME_DIR", desktop->runtimeDirectory().c_str(), 1);
    auto bus = MutterBus::open(desktop->busAddress(), &error);
    ASSERT_TRUE(bus) << error;
    auto monitors = std::make_shared<MutterMonitors>(bus);
    auto monitor = monitors->add({.width = 1280, .height = 720}, &error);
    ASSERT_TRUE(monitor) << error;
    EXPECT_EQ(monitor->displayID(), displayIDForConnector(monitor->connector()));

    MutterCaptureService service(monitors, {});
    const auto displays = service.shareableDisplays();
    ASSERT_EQ(displays.size(), 1u);
    EXPECT_EQ(displays[0], (ShareableDisplay{monitor->displayID(), 1280, 720}));

    DispatchQueue queue("capture-test");
    Delivered delivered;
    StreamConfiguration configuration;
    configuration.width = 1280;
    configuration.height = 720;
    configuration.minimumFrameInterval = MediaTime{1'000'000'000 / 30};
    auto stream =
        service.makeStream(monitor->displayID(), configuration, queue,
                           {.didOutputFrame =
                                [&](const CapturedFrame& frame) {
                                    std::lock_guard lock(delivered.mutex);
                                    if (frame.status == FrameStatus::idle) {
                                        ++delivered.idle;
                                        return;
                                    }
                                    if (frame.status != FrameStatus::complete || !frame.pixelBuffer)
                                        return;
                                    ++delivered.complete;
                                    delivered.width = frame.pixelBuffer->width;
                                    delivered.height = frame.pixelBuffer->height;
                                    // Away from the centre, where the cursor may be drawn.
                                    delivered.probe = sample(*frame.pixelBuffer, 320, 180);
                                },
                            .didStopWithError = {}});
    std::promise<std::optional<CaptureError>> started;
    stream->start([&](std::optional<CaptureError> result) { started.set_value(result); });
    auto result = started.get_future().get();
    ASSERT_FALSE(result) << result->description();

    testing::WaylandWitness witness(*desktop, 30, 160, 220);
    ASSERT_TRUE(eventually([&] { return witness.said("size 1280 720"); }, 20s)) << witness.output();
    const Yuv expected = converted(30, 160, 220);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(delivered.mutex);
        return delivered.complete > 0 && std::abs(delivered.probe.y - expected.y) <= 1 &&
               std::abs(delivered.probe.u - expected.u) <= 1 &&
               std::abs(delivered.probe.v - expected.v) <= 1;
    })) << "the witness's colour never reached a captured frame";
    {
        std::lock_guard lock(delivered.mutex);
        EXPECT_EQ(delivered.width, 1280);
        EXPECT_EQ(delivered.height, 720);
    }

    // A still screen: once the witness has settled, sixty ticks in a row are idle and Mutter
    // sends nothing.
    std::this_thread::sleep_for(1000ms);
    int complete, idle;
    {
        std::lock_guard lock(delivered.mutex);
        complete = delivered.complete;
        idle = delivered.idle;
    }
    const auto received = static_cast<MutterCaptureStream&>(*stream).statistics().receivedFrames;
    EXPECT_TRUE(eventually([&] {
        std::lock_guard lock(delivered.mutex);
        return delivered.idle >= idle + 60;
    }));
    {
        std::lock_guard lock(delivered.mutex);
        EXPECT_EQ(delivered.complete, complete) << "complete frames from a still screen";
    }
    EXPECT_EQ(static_cast<MutterCaptureStream&>(*stream).statistics().receivedFrames, received);

    std::promise<std::optional<CaptureError>> stopped;
    stream->stop([&](std::optional<CaptureError> result) { stopped.set_value(result); });
    EXPECT_FALSE(stopped.get_future().get());
    stream.reset();

    // Removing the monitor takes it off Mutter's list.
    const std::string connector = monitor->connector();
    monitor.reset();
    monitors->remove(displays[0].displayID);
    EXPECT_TRUE(eventually([&] {
        auto state = currentDisplayState(*bus);
        return state && !state->monitor(connector);
    }));
}

// Frames in arrival order, each with what it shows at a probe point and when it was delivered.
struct Recorded {
    std::mutex mutex;
    struct Frame {
        Yuv probe;
        MediaTime at{0};
    };
    std::vector<Frame> complete;
    int idle = 0;
    std::vector<std::shared_ptr<const PixelBuffer>> holding;
    bool hold = false;

    CaptureStreamOutput output() {
        return {.didOutputFrame =
                    [this](const CapturedFrame& frame) {
                        std::lock_guard lock(mutex);
                        if (frame.status == FrameStatus::idle) ++idle;
                        if (frame.status != FrameStatus::complete || !frame.pixelBuffer) return;
                        complete.push_back(
                            {sample(*frame.pixelBuffer, 160, 90), frame.presentationTime});
                        if (hold) holding.push_back(frame.pixelBuffer);
                    },
                .didStopWithError = {}};
    }
    bool shows(const Yuv& colour) {
        std::lock_guard lock(mutex);
        return !complete.empty() && std::abs(complete.back().probe.y - colour.y) <= 1 &&
               std::abs(complete.back().probe.u - colour.u) <= 1 &&
               std::abs(complete.back().probe.v - colour.v) <= 1;
    }
    std::size_t completeCount() {
        std::lock_guard lock(mutex);
        return complete.size();
    }
    int idleCount() {
        std::lock_guard lock(mutex);
        return idle;
    }
};

class MutterCaptureOnChange : public testing::MutterFixture {
  protected:
    void SetUp() override {
        MutterFixture::SetUp();
        if (!ready()) return;
        addMonitor(640, 360);
        if (!ready()) return;
    }
    std::unique_ptr<MutterCaptureStream> start(MediaTime interval, int queueDepth,
                                               CaptureStreamOutput output) {
        StreamConfiguration configuration;
        configuration.width = 640;
        configuration.height = 360;
        configuration.minimumFrameInterval = interval;
        configuration.queueDepth = queueDepth;
        auto stream = std::make_unique<MutterCaptureStream>(
            monitors, monitor->displayID(), configuration, queue, std::move(output), nullptr);
        std::promise<std::optional<CaptureError>> started;
        stream->start([&](std::optional<CaptureError> result) { started.set_value(result); });
        auto result = started.get_future().get();
        EXPECT_FALSE(result) << result->description();
        return stream;
    }

    DispatchQueue queue{"capture-test"};
};

// A frame that comes after a quiet spell goes out when it comes, off the deadlines; frames that
// follow it closely (a pointer moving over the monitor) go out no faster than the frame rate.
TEST_F(MutterCaptureOnChange, AChangeAfterAQuietSpellGoesOutAtOnceAndTheRateStaysBounded) {
    if (!ready()) return;
    const auto interval = std::chrono::duration_cast<MediaTime>(2s);
    Recorded recorded;
    auto stream = start(interval, 5, recorded.output());
    testing::WaylandWitness red(*desktop, 200, 30, 30);
    ASSERT_TRUE(eventually([&] { return recorded.shows(converted(200, 30, 30)); }, 20s))
        << red.output();
    // Quiet: two idle ticks after the last complete frame are an interval past it.
    const int idle = recorded.idleCount();
    ASSERT_TRUE(eventually([&] { return recorded.idleCount() >= idle + 2; }, 15s));
    const auto before = stream->statistics();
    const std::size_t completeBefore = recorded.completeCount();

    testing::WaylandWitness blue(*desktop, 30, 30, 200);
    ASSERT_TRUE(eventually([&] { return recorded.completeCount() > completeBefore; }, 20s));
    EXPECT_GE(stream->statistics().changeTicks, before.changeTicks + 1)
        << "the first frame after a quiet spell waited for a tick";
    ASSERT_TRUE(eventually([&] { return recorded.shows(converted(30, 30, 200)); }, 20s));

    // A burst of changes well within one interval: many frames from Mutter, at most two out.
    const int idleAfterBlue = recorded.idleCount();
    ASSERT_TRUE(eventually([&] { return recorded.idleCount() >= idleAfterBlue + 2; }, 15s));
    const auto burstStart = stream->statistics();
    const std::size_t completeAtBurst = recorded.completeCount();
    for (int i = 0; i < 20; ++i) {
        monitor->session().pointerMotionAbsolute(100 + 10 * i, 200);
        std::this_thread::sleep_for(15ms);
    }
    ASSERT_TRUE(eventually([&] {
        return stream->statistics().receivedFrames >= burstStart.receivedFrames + 3;
    })) << "the moving pointer made no frames";
    EXPECT_LE(recorded.completeCount(), completeAtBurst + 2);
    {
        // Complete frames keep at least most of an interval between them (a tick may run late
        // and the next one on time).
        std::lock_guard lock(recorded.mutex);
        for (std::size_t i = completeBefore + 1; i < recorded.complete.size(); ++i)
            EXPECT_GE(recorded.complete[i].at - recorded.complete[i - 1].at, interval / 2)
                << "frame " << i;
    }
}

// Mutter sends nothing more while the monitor stays still, so a frame that came while the
// consumer held every buffer is not lost: it goes out once a buffer is free.
TEST_F(MutterCaptureOnChange, AFrameThatCameWhileEveryBufferWasHeldGoesOutOnceOneIsFree) {
    if (!ready()) return;
    Recorded recorded;
    recorded.hold = true;
    auto stream = start(std::chrono::duration_cast<MediaTime>(50ms), 1, recorded.output());
    testing::WaylandWitness red(*desktop, 200, 30, 30);
    // The one buffer is held from the first complete frame on.
    ASSERT_TRUE(eventually([&] { return recorded.completeCount() >= 1; }, 20s)) << red.output();
    ASSERT_TRUE(eventually([&] { return stream->statistics().skippedFrames >= 1; }, 20s));
    EXPECT_EQ(recorded.completeCount(), 1u);
    // Settled: Mutter sends nothing more for a while, and the ticks are idle meanwhile.
    std::uint64_t received = 0;
    ASSERT_TRUE(eventually(
        [&] {
            received = stream->statistics().receivedFrames;
            const int idle = recorded.idleCount();
            std::this_thread::sleep_for(500ms);
            return stream->statistics().receivedFrames == received && recorded.idleCount() > idle;
        },
        20s));
    EXPECT_EQ(recorded.completeCount(), 1u);
    {
        std::lock_guard lock(recorded.mutex);
        recorded.hold = false;
        recorded.holding.clear();
    }
    EXPECT_TRUE(eventually([&] {
        return recorded.completeCount() >= 2 && recorded.shows(converted(200, 30, 30));
    })) << "the last frame Mutter sent never went out";
    EXPECT_EQ(stream->statistics().receivedFrames, received);
}

TEST(MutterCapture, StreamEndsWithAnErrorWhenMutterGoes) {
    if (auto missing = testing::PrivateMutter::missingProgram()) GTEST_SKIP() << *missing;
    std::string error;
    auto desktop = testing::PrivateMutter::start(&error);
    ASSERT_TRUE(desktop) << error;
    setenv("PIPEWIRE_RUNTIME_DIR", desktop->runtimeDirectory().c_str(), 1);
    setenv("XDG_RUNTIME_DIR", desktop->runtimeDirectory().c_str(), 1);
    auto bus = MutterBus::open(desktop->busAddress(), &error);
    ASSERT_TRUE(bus) << error;
    auto monitors = std::make_shared<MutterMonitors>(bus);
    auto monitor = monitors->add({.width = 800, .height = 600}, &error);
    ASSERT_TRUE(monitor) << error;
    MutterCaptureService service(monitors, {});

    DispatchQueue queue("capture-test");
    std::mutex mutex;
    int frames = 0;
    std::optional<CaptureError> ended;
    StreamConfiguration configuration;
    configuration.width = 800;
    configuration.height = 600;
    auto stream = service.makeStream(monitor->displayID(), configuration, queue,
                                     {.didOutputFrame =
                                          [&](const CapturedFrame&) {
                                              std::lock_guard lock(mutex);
                                              ++frames;
                                          },
                                      .didStopWithError =
                                          [&](const CaptureError& error) {
                                              std::lock_guard lock(mutex);
                                              ended = error;
                                          }});
    std::promise<std::optional<CaptureError>> started;
    stream->start([&](std::optional<CaptureError> result) { started.set_value(result); });
    ASSERT_FALSE(started.get_future().get());
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return frames > 0;
    }));

    desktop->stopMutter();
    EXPECT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return ended.has_value();
    })) << "the stream went on after Mutter had gone";
    std::lock_guard lock(mutex);
    if (ended) {
        EXPECT_EQ(ended->code, CaptureErrorCode::connectionFailed);
    }
    // No frame follows the end.
    const int atEnd = frames;
    mutex.unlock();
    std::this_thread::sleep_for(200ms);
    mutex.lock();
    EXPECT_EQ(frames, atEnd);
}

}  // namespace
}  // namespace vl
