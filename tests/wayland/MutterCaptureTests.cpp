// Capture of a virtual monitor through the capture interface, against a private headless Mutter
// with a Wayland witness painting it.
#include "base/DispatchQueue.h"
#include "platform/capture/ColorConversion.h"
#include "platform/capture/mutter/MutterCaptureService.h"
#include "platform/mutter/MutterDisplayConfig.h"
#include "platform/mutter/MutterVirtualMonitor.h"
#include "tests/wayland/PrivateMutter.h"
#include "tests/wayland/WaylandWitness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <mutex>
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

    // A still screen: idle frames, no complete ones.
    std::this_thread::sleep_for(1000ms);
    int complete, idle;
    {
        std::lock_guard lock(delivered.mutex);
        complete = delivered.complete;
        idle = delivered.idle;
    }
    std::this_thread::sleep_for(1500ms);
    {
        std::lock_guard lock(delivered.mutex);
        EXPECT_EQ(delivered.complete, complete) << "complete frames from a still screen";
        EXPECT_GT(delivered.idle, idle) << "a still screen still yields idle frames";
    }

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
