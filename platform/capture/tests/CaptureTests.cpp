#include "base/DispatchQueue.h"
#include "platform/capture/ColorConversion.h"
#include "platform/capture/fake/FakeCaptureService.h"

#include <gtest/gtest.h>

#include <future>

namespace vl {
namespace {

int lumaAt(const PixelBuffer& buffer, int x, int y) {
    const PixelPlane& plane = buffer.planes[0];
    const std::uint8_t* row = plane.bytes.data() + static_cast<std::size_t>(y) * plane.bytesPerRow;
    if (buffer.format == PixelFormat::biPlanar420Video10) {
        return (row[2 * x] | (row[2 * x + 1] << 8)) >> 6;
    }
    return row[x];
}

std::pair<int, int> chromaAt(const PixelBuffer& buffer, int x, int y) {
    const PixelPlane& plane = buffer.planes[1];
    const std::uint8_t* row =
        plane.bytes.data() + static_cast<std::size_t>(y / 2) * plane.bytesPerRow;
    if (buffer.format == PixelFormat::biPlanar420Video10) {
        const std::uint8_t* p = row + (x / 2) * 4;
        return {(p[0] | (p[1] << 8)) >> 6, (p[2] | (p[3] << 8)) >> 6};
    }
    return {row[(x / 2) * 2], row[(x / 2) * 2 + 1]};
}

std::vector<std::uint8_t> solidBGRA(int width, int height, std::uint8_t r, std::uint8_t g,
                                    std::uint8_t b) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = b;
        pixels[i + 1] = g;
        pixels[i + 2] = r;
        pixels[i + 3] = 255;
    }
    return pixels;
}

TEST(ColorConversion, SdrIsVideoRangeBt601AndSaysSo) {
    struct Case {
        std::uint8_t r, g, b;
        int y, cb, cr;
    };
    // BT.601 video range: Y = 16 + 219 E'y, C = 128 + 224 E'c (±1 for rounding).
    for (const Case& c : {Case{255, 255, 255, 235, 128, 128}, Case{0, 0, 0, 16, 128, 128},
                          Case{255, 0, 0, 81, 90, 240}, Case{0, 0, 255, 41, 240, 110}}) {
        PixelBuffer out = makePixelBuffer(8, 8, PixelFormat::biPlanar420Video8, {});
        const auto pixels = solidBGRA(8, 8, c.r, c.g, c.b);
        convertBGRAToNV12(pixels.data(), 8 * 4, 8, 8, out);
        EXPECT_NEAR(lumaAt(out, 3, 3), c.y, 1) << int{c.r} << "," << int{c.g} << "," << int{c.b};
        EXPECT_NEAR(chromaAt(out, 3, 3).first, c.cb, 2);
        EXPECT_NEAR(chromaAt(out, 3, 3).second, c.cr, 2);
    }
    PixelBuffer out = makePixelBuffer(2, 2, PixelFormat::biPlanar420Video8, {});
    const auto pixels = solidBGRA(2, 2, 1, 2, 3);
    convertBGRAToNV12(pixels.data(), 8, 2, 2, out);
    EXPECT_EQ(out.color, sdrConversionColor());
    EXPECT_EQ(out.color.matrix, YCbCrMatrix::bt601);
    EXPECT_FALSE(out.color.fullRange);
}

TEST(ColorConversion, OddSizesRepeatTheEdgeIntoTheEvenBuffer) {
    // 5 x 3 picture in a 6 x 4 buffer: the last column is white, the rest black.
    std::vector<std::uint8_t> pixels = solidBGRA(5, 3, 0, 0, 0);
    for (int y = 0; y < 3; ++y) {
        for (int c = 0; c < 3; ++c) pixels[(y * 5 + 4) * 4 + c] = 255;
    }
    for (bool hdr : {false, true}) {
        PixelBuffer out = makePixelBuffer(
            6, 4, hdr ? PixelFormat::biPlanar420Video10 : PixelFormat::biPlanar420Video8, {});
        if (hdr) {
            HdrConverter().convert(pixels.data(), 5 * 4, 5, 3, out);
        } else {
            convertBGRAToNV12(pixels.data(), 5 * 4, 5, 3, out);
        }
        for (int y = 0; y < 4; ++y) {
            EXPECT_EQ(lumaAt(out, 5, y), lumaAt(out, 4, 0)) << "hdr " << hdr << " row " << y;
            EXPECT_EQ(lumaAt(out, 0, y), lumaAt(out, 0, 0)) << "hdr " << hdr << " row " << y;
        }
        EXPECT_GT(lumaAt(out, 4, 0), lumaAt(out, 0, 0));
    }
}

TEST(ColorConversion, HdrPlacesSdrWhiteAt203NitsInPq) {
    HdrConverter converter;
    PixelBuffer out = makePixelBuffer(4, 4, PixelFormat::biPlanar420Video10, {});
    auto white = solidBGRA(4, 4, 255, 255, 255);
    converter.convert(white.data(), 16, 4, 4, out);
    EXPECT_EQ(out.color, hdrConversionColor());
    // PQ(203 cd/m²) = 0.5806; 10-bit video range 64 + 876 x 0.5806 = 572.6.
    EXPECT_NEAR(lumaAt(out, 1, 1), 573, 1);
    EXPECT_NEAR(chromaAt(out, 1, 1).first, 512, 1);
    EXPECT_NEAR(chromaAt(out, 1, 1).second, 512, 1);

    auto black = solidBGRA(4, 4, 0, 0, 0);
    converter.convert(black.data(), 16, 4, 4, out);
    EXPECT_EQ(lumaAt(out, 2, 2), 64);

    // Saturated red stays red: Cr well above neutral, Cb below.
    auto red = solidBGRA(4, 4, 255, 0, 0);
    converter.convert(red.data(), 16, 4, 4, out);
    EXPECT_GT(chromaAt(out, 0, 0).second, 600);
    EXPECT_LT(chromaAt(out, 0, 0).first, 480);
}

struct Received {
    std::mutex mutex;
    std::vector<CapturedFrame> frames;
    std::vector<CaptureError> stops;
    CaptureStreamOutput output() {
        return {[this](const CapturedFrame& frame) {
                    std::lock_guard lock(mutex);
                    frames.push_back(frame);
                },
                [this](const CaptureError& error) {
                    std::lock_guard lock(mutex);
                    stops.push_back(error);
                }};
    }
};

std::optional<CaptureError> startAndWait(CaptureStream& stream) {
    std::promise<std::optional<CaptureError>> done;
    stream.start([&](std::optional<CaptureError> error) { done.set_value(error); });
    return done.get_future().get();
}

std::optional<CaptureError> stopAndWait(CaptureStream& stream) {
    std::promise<std::optional<CaptureError>> done;
    stream.stop([&](std::optional<CaptureError> error) { done.set_value(error); });
    return done.get_future().get();
}

TEST(FakeCaptureService, FramesFollowTheDisplaySizeRoundedUpToEven) {
    FakeCaptureService service;
    service.setDisplays({{7, 1921, 1081}});
    DispatchQueue queue("capture");
    Received received;
    StreamConfiguration configuration;
    configuration.width = 1921;
    configuration.height = 1081;
    auto stream = service.makeStream(7, configuration, queue, received.output());
    EXPECT_EQ(service.emitFrame(7), 0);  // not started
    ASSERT_FALSE(startAndWait(*stream));
    EXPECT_EQ(startAndWait(*stream)->code, CaptureErrorCode::alreadyRunning);

    EXPECT_EQ(service.emitFrame(7), 1);
    EXPECT_EQ(service.emitFrame(7, FrameStatus::idle), 1);
    service.resizeDisplay(7, 1280, 720);
    EXPECT_EQ(service.emitFrame(7), 1);
    ASSERT_EQ(received.frames.size(), 3u);
    EXPECT_EQ(received.frames[0].pixelBuffer->width, 1922);
    EXPECT_EQ(received.frames[0].pixelBuffer->height, 1082);
    EXPECT_EQ(received.frames[1].status, FrameStatus::idle);
    EXPECT_FALSE(received.frames[1].pixelBuffer);
    EXPECT_EQ(received.frames[2].pixelBuffer->width, 1280);
    // Deterministic and moving: frame n is the pattern of n.
    PixelBuffer expected = makePixelBuffer(1280, 720, PixelFormat::biPlanar420Video8, {});
    fillTestPattern(expected, 1);
    EXPECT_EQ(received.frames[2].pixelBuffer->planes[0].bytes, expected.planes[0].bytes);
    EXPECT_NE(lumaAt(*received.frames[2].pixelBuffer, 0, 0),
              lumaAt(*received.frames[0].pixelBuffer, 0, 0));

    ASSERT_FALSE(stopAndWait(*stream));
    EXPECT_EQ(service.emitFrame(7), 0);
    EXPECT_EQ(received.frames.size(), 3u);
}

TEST(FakeCaptureService, ConsumerHoldingQueueDepthFramesMakesLaterOnesSkip) {
    FakeCaptureService service;
    service.setDisplays({{1, 64, 64}});
    DispatchQueue queue("capture");
    Received received;
    StreamConfiguration configuration{64,   64, MediaTime{16'000'000},
                                      true, 2,  PixelFormat::biPlanar420Video8};
    auto stream = service.makeStream(1, configuration, queue, received.output());
    ASSERT_FALSE(startAndWait(*stream));
    EXPECT_EQ(service.emitFrame(1), 1);
    EXPECT_EQ(service.emitFrame(1), 1);
    EXPECT_EQ(service.emitFrame(1), 0);  // both buffers held by `received`
    received.frames.erase(received.frames.begin());
    EXPECT_EQ(service.emitFrame(1), 1);
}

TEST(FakeCaptureService, StartFailuresAndStopsReportedAsTheSystemWould) {
    FakeCaptureService service;
    service.setDisplays({{1, 64, 64}});
    DispatchQueue queue("capture");
    Received received;
    auto unknown = service.makeStream(99, {}, queue, received.output());
    EXPECT_EQ(startAndWait(*unknown)->code, CaptureErrorCode::displayNotFound);

    auto stream = service.makeStream(1, {}, queue, received.output());
    service.failNextStart(CaptureError{CaptureErrorCode::connectionFailed, "gone"});
    EXPECT_EQ(startAndWait(*stream)->description(), "Display server connection failed: gone");
    ASSERT_FALSE(startAndWait(*stream));
    service.stopStreamsWithError(1, {CaptureErrorCode::displayNotFound, "1"});
    ASSERT_EQ(received.stops.size(), 1u);
    EXPECT_EQ(service.runningStreamCount(1), 0);
    EXPECT_EQ(stopAndWait(*stream)->code, CaptureErrorCode::notRunning);

    std::optional<CaptureError> error;
    service.failShareableContent(CaptureError{CaptureErrorCode::connectionFailed, {}});
    EXPECT_TRUE(service.shareableDisplays(&error).empty());
    EXPECT_TRUE(error);
    EXPECT_EQ(service.shareableDisplays(&error).size(), 1u);
    EXPECT_FALSE(error);
}

TEST(FakeCaptureService, AutomaticFramesArriveAtTheFrameInterval) {
    FakeCaptureService service;
    service.setDisplays({{1, 32, 32}});
    service.setAutomaticFrames(true);
    DispatchQueue queue("capture");
    std::promise<void> fifth;
    std::atomic<int> count{0};
    CaptureStreamOutput output{[&](const CapturedFrame&) {
                                   if (++count == 5) fifth.set_value();
                               },
                               {}};
    StreamConfiguration configuration;
    configuration.minimumFrameInterval = MediaTime{2'000'000};
    auto stream = service.makeStream(1, configuration, queue, output);
    ASSERT_FALSE(startAndWait(*stream));
    EXPECT_EQ(fifth.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    stream.reset();  // stops, and no frame arrives after
    const int after = count;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(count, after);
}

TEST(FakeCaptureService, ReleasingStreamsNeverWaitsForTheirBusyQueueAndNothingFollows) {
    FakeCaptureService service;
    service.setDisplays({{1, 32, 32}});
    auto queue = DispatchQueue::dedicated("capture");
    Received received;
    auto running = service.makeStream(1, {}, *queue, received.output());
    ASSERT_FALSE(startAndWait(*running));
    auto starting = service.makeStream(1, {}, *queue, received.output());

    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    queue->async([released] { released.wait_for(std::chrono::seconds(5)); });
    std::promise<std::optional<CaptureError>> lateStart;
    starting->start([&](std::optional<CaptureError> error) { lateStart.set_value(error); });
    const auto begin = std::chrono::steady_clock::now();
    running.reset();
    starting.reset();
    queue.reset();  // the streams' blocks keep the queue
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
    release.set_value();

    // The start queued before the release still completes, and says it never started.
    auto late = lateStart.get_future().get();
    ASSERT_TRUE(late);
    EXPECT_EQ(late->code, CaptureErrorCode::notRunning);
    EXPECT_EQ(service.runningStreamCount(1), 0);
    EXPECT_EQ(service.emitFrame(1), 0);
    EXPECT_TRUE(received.frames.empty());
}

}  // namespace
}  // namespace vl
