// Against a private Xvfb: what a test client draws, and nothing else, makes complete frames.
#include "base/DispatchQueue.h"
#include "platform/capture/tests/CaptureTestSupport.h"
#include "platform/capture/tests/XvfbServer.h"
#include "platform/capture/x11/X11CaptureService.h"
#include "platform/capture/x11/X11CaptureStream.h"
#include "platform/videocodec/libavcodec/HevcDecoder.h"
#include "platform/videocodec/x265/X265CompressionSession.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <vector>

namespace vl {
namespace {

using namespace std::chrono_literals;
using test::Collector;
using test::configurationFor;
using test::lumaAt;
using test::Painter;
using test::startAndWait;
using test::stopAndWait;

template <int screenWidth, int screenHeight>
class X11CaptureOf : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!server_.running()) GTEST_SKIP() << "no free display :80 … :84 for Xvfb";
        service_ = std::make_unique<X11CaptureService>(server_.name());
        const auto displays = service_->shareableDisplays();
        ASSERT_EQ(displays.size(), 1u);
        display_ = displays[0];
        painter_ = std::make_unique<Painter>(server_.name());
        painter_->fill(0x000000, 0, 0, display_.width, display_.height);
        painter_->warpPointer(display_.width - 1, display_.height - 1);
    }

    test::XvfbServer server_{screenWidth, screenHeight};
    std::unique_ptr<X11CaptureService> service_;
    std::unique_ptr<Painter> painter_;
    ShareableDisplay display_;
    DispatchQueue queue_{"com.corvane.vantrel.capture.screen"};
};

using X11Capture = X11CaptureOf<320, 240>;

TEST_F(X11Capture, ListsTheScreensOutputAndRefusesUnknownDisplays) {
    EXPECT_NE(display_.displayID, 0u);
    EXPECT_EQ(display_.width, 320);
    EXPECT_EQ(display_.height, 240);

    Collector collector;
    auto unknown = service_->makeStream(display_.displayID + 12345, configurationFor(display_, 30),
                                        queue_, collector.output());
    const auto error = startAndWait(*unknown);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, CaptureErrorCode::displayNotFound);

    X11CaptureService nowhere(":79");
    std::optional<CaptureError> listError;
    EXPECT_TRUE(nowhere.shareableDisplays(&listError).empty());
    ASSERT_TRUE(listError);
    EXPECT_EQ(listError->code, CaptureErrorCode::connectionFailed);
}

TEST_F(X11Capture, UnchangingScreenGivesIdleFramesAndDrawingGivesCompleteOnes) {
    Collector collector;
    auto stream = service_->makeStream(display_.displayID, configurationFor(display_, 50), queue_,
                                       collector.output());
    ASSERT_FALSE(startAndWait(*stream));
    // The first frame is always complete; a still screen then gives only idle frames.
    ASSERT_TRUE(
        collector.waitFor([](int complete, int idle) { return complete >= 1 && idle >= 10; }));
    EXPECT_EQ(collector.complete(), 1);
    EXPECT_EQ(lumaAt(*collector.last(), 160, 120), 16);  // black, video range

    // Each drawing over the display makes exactly the next frame complete, with what was drawn.
    const std::uint32_t colours[] = {0xffffff, 0x808080, 0x000000};
    const int lumas[] = {235, 126, 16};
    for (int i = 0; i < 3; ++i) {
        const int before = collector.complete();
        painter_->fill(colours[i], 0, 0, 320, 240);
        ASSERT_TRUE(collector.waitFor([&](int complete, int) { return complete > before; }));
        EXPECT_NEAR(lumaAt(*collector.last(), 160, 120), lumas[i], 1) << i;
        const int idleBefore = collector.idle();
        ASSERT_TRUE(collector.waitFor([&](int, int idle) { return idle >= idleBefore + 5; }));
        EXPECT_EQ(collector.complete(), before + 1);
    }
    ASSERT_FALSE(stopAndWait(*stream));
    const int after = collector.complete() + collector.idle();
    painter_->fill(0xffffff, 0, 0, 320, 240);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(collector.complete() + collector.idle(), after);  // nothing after stop
}

TEST_F(X11Capture, CursorIsDrawnInWhenShownAndItsMovesAreChanges) {
    painter_->fill(0x808080, 0, 0, 320, 240);
    painter_->warpPointer(100, 100);
    auto cursorPixels = [&](bool showsCursor) {
        Collector collector;
        auto stream =
            service_->makeStream(display_.displayID, configurationFor(display_, 50, showsCursor),
                                 queue_, collector.output());
        EXPECT_FALSE(startAndWait(*stream));
        EXPECT_TRUE(collector.waitFor([](int complete, int) { return complete >= 1; }));
        int differing = 0;
        const auto picture = collector.last();
        for (int y = 80; y < 120; ++y) {
            for (int x = 80; x < 120; ++x) differing += lumaAt(*picture, x, y) != 126 ? 1 : 0;
        }
        if (showsCursor) {
            // Moving only the pointer changes the picture: a complete frame follows.
            const int before = collector.complete();
            EXPECT_TRUE(collector.waitFor([](int, int idle) { return idle >= 3; }));
            painter_->warpPointer(200, 150);
            EXPECT_TRUE(collector.waitFor([&](int complete, int) { return complete > before; }));
        }
        stopAndWait(*stream);
        return differing;
    };
    EXPECT_EQ(cursorPixels(false), 0);
    EXPECT_GT(cursorPixels(true), 10);
}

TEST_F(X11Capture, TicksFollowAbsoluteDeadlines) {
    Collector collector;
    const int fps = 40;
    auto stream = std::make_unique<X11CaptureStream>(server_.name(), display_.displayID,
                                                     configurationFor(display_, fps), queue_,
                                                     collector.output(), nullptr);
    const auto beforeStart = Clock::now();
    ASSERT_FALSE(startAndWait(*stream));
    const auto afterStart = Clock::now();
    std::this_thread::sleep_for(1500ms);
    const auto beforeRead = Clock::now();
    const auto statistics = stream->statistics();
    const auto afterRead = Clock::now();
    // Every deadline that has passed is either a tick or a deadline skipped while late; none
    // is added by lateness (no drift) and none is lost. The stream's start and the read are
    // somewhere in the windows measured around them, which a loaded machine makes wide.
    const auto interval = std::chrono::nanoseconds(1'000'000'000 / fps);
    const auto surelyPassed = (beforeRead - afterStart) / interval;
    const auto possiblyPassed = (afterRead - beforeStart) / interval;
    // A change (the fixture's drawing may still be reported) is grabbed off the deadlines.
    const auto accounted = static_cast<std::int64_t>(statistics.ticks - statistics.changeTicks +
                                                     statistics.missedDeadlines);
    EXPECT_GE(accounted, surelyPassed - 2);
    EXPECT_LE(accounted, possiblyPassed);
    EXPECT_TRUE(statistics.sharedMemory);
    // Every tick delivered one frame (counted once the stream is stopped and delivers no more).
    ASSERT_FALSE(stopAndWait(*stream));
    EXPECT_EQ(stream->statistics().ticks,
              static_cast<std::uint64_t>(collector.complete() + collector.idle()));
}

// A change after a quiet spell is grabbed when it happens, not at the next tick; changes that
// follow each other closely still come no faster than the frame rate.
TEST_F(X11Capture, AChangeAfterAQuietSpellIsGrabbedAtOnceAndTheRateStaysBounded) {
    Collector collector;
    std::mutex mutex;
    std::vector<Clock::time_point> completes;
    auto output = collector.output();
    auto count = output.didOutputFrame;
    output.didOutputFrame = [&, count](const CapturedFrame& frame) {
        if (frame.status == FrameStatus::complete) {
            std::lock_guard lock(mutex);
            completes.push_back(Clock::now());
        }
        count(frame);
    };
    // One tick every two seconds: a change waiting for a tick would wait for up to that long.
    StreamConfiguration configuration = configurationFor(display_, 1);
    configuration.minimumFrameInterval = std::chrono::seconds(2);
    auto stream = std::make_unique<X11CaptureStream>(server_.name(), display_.displayID,
                                                     configuration, queue_, output, nullptr);
    ASSERT_FALSE(startAndWait(*stream));
    ASSERT_TRUE(collector.waitFor([](int complete, int) { return complete >= 1; }));
    // Past the first frame's interval, at a phase half-way to the next tick.
    ASSERT_TRUE(collector.waitFor([](int, int idle) { return idle >= 1; }));
    std::this_thread::sleep_for(1s);
    const auto drawn = Clock::now();
    painter_->fill(0xffffff, 0, 0, 320, 240);
    ASSERT_TRUE(collector.waitFor([](int complete, int) { return complete >= 2; }));
    {
        std::lock_guard lock(mutex);
        // Well before the tick that was a second away.
        EXPECT_LT(completes[1] - drawn, 700ms);
    }
    EXPECT_NEAR(lumaAt(*collector.last(), 160, 120), 235, 1);
    // At once again: the next change waits out the interval since that frame.
    painter_->fill(0x000000, 0, 0, 320, 240);
    ASSERT_TRUE(collector.waitFor([](int complete, int) { return complete >= 3; }));
    {
        std::lock_guard lock(mutex);
        EXPECT_GE(completes[2] - completes[1], 1900ms);
    }
    EXPECT_EQ(lumaAt(*collector.last(), 160, 120), 16);
    EXPECT_GE(stream->statistics().changeTicks, 1u);
    ASSERT_FALSE(stopAndWait(*stream));
}

TEST_F(X11Capture, ConsumerHoldingEveryBufferSkipsFramesUntilOneIsFree) {
    std::mutex mutex;
    std::vector<std::shared_ptr<const PixelBuffer>> held;
    StreamConfiguration configuration = configurationFor(display_, 50);
    configuration.queueDepth = 2;
    CaptureStreamOutput output{[&](const CapturedFrame& frame) {
                                   std::lock_guard lock(mutex);
                                   if (frame.pixelBuffer) held.push_back(frame.pixelBuffer);
                               },
                               {}};
    auto stream = std::make_unique<X11CaptureStream>(server_.name(), display_.displayID,
                                                     configuration, queue_, output, nullptr);
    ASSERT_FALSE(startAndWait(*stream));
    for (int i = 0; i < 6; ++i) {
        painter_->fill(i % 2 ? 0xffffff : 0x202020, 0, 0, 320, 240);
        std::this_thread::sleep_for(60ms);
    }
    auto statistics = stream->statistics();
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(held.size(), 2u);
        held.clear();
    }
    EXPECT_GE(statistics.skippedFrames, 1u);
    // The skipped change is not lost: with a buffer free, the next frame is complete.
    std::this_thread::sleep_for(100ms);
    std::lock_guard lock(mutex);
    EXPECT_GE(held.size(), 1u);
    EXPECT_EQ(held.back() ? lumaAt(*held.back(), 10, 10) : -1, 235);
}

TEST_F(X11Capture, ServerThatGoesAwayStopsTheStreamWithAnError) {
    Collector collector;
    auto stream = service_->makeStream(display_.displayID, configurationFor(display_, 50), queue_,
                                       collector.output());
    ASSERT_FALSE(startAndWait(*stream));
    ASSERT_TRUE(collector.waitFor([](int complete, int) { return complete >= 1; }));
    painter_.reset();
    server_.stop();
    ASSERT_TRUE(collector.waitForStop());
    EXPECT_EQ(collector.stops().at(0).code, CaptureErrorCode::connectionFailed);
    EXPECT_EQ(stopAndWait(*stream)->code, CaptureErrorCode::notRunning);
}

// Releasing a stream waits for nothing on its queue (it may be busy, or waiting for the releaser);
// the connection is closed behind the busy block and no frame is delivered after the release.
TEST_F(X11Capture, ReleasingAStreamNeverWaitsForItsBusyQueueAndNoFrameFollows) {
    Collector collector;
    auto stream = service_->makeStream(display_.displayID, configurationFor(display_, 100), queue_,
                                       collector.output());
    ASSERT_FALSE(startAndWait(*stream));
    ASSERT_TRUE(
        collector.waitFor([](int complete, int idle) { return complete >= 1 && idle >= 2; }));
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    queue_.async([released] { released.wait_for(5s); });
    const auto begin = std::chrono::steady_clock::now();
    stream.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    const int complete = collector.complete(), idle = collector.idle();
    release.set_value();
    queue_.sync([] {});
    painter_->fill(0xffffff, 0, 0, 320, 240);
    std::this_thread::sleep_for(100ms);  // ten frame intervals
    EXPECT_EQ(collector.complete(), complete);
    EXPECT_EQ(collector.idle(), idle);
}

TEST_F(X11Capture, HdrFramesArePqP010) {
    painter_->fill(0xffffff, 0, 0, 320, 240);
    Collector collector;
    StreamConfiguration configuration = configurationFor(display_, 30);
    configuration.pixelFormat = PixelFormat::biPlanar420Video10;
    auto stream =
        service_->makeStream(display_.displayID, configuration, queue_, collector.output());
    ASSERT_FALSE(startAndWait(*stream));
    ASSERT_TRUE(collector.waitFor([](int complete, int) { return complete >= 1; }));
    const auto picture = collector.last();
    EXPECT_EQ(picture->format, PixelFormat::biPlanar420Video10);
    EXPECT_EQ(picture->color.transfer, TransferFunction::pq);
    EXPECT_NEAR(lumaAt(*picture, 50, 50), 573, 1);  // SDR white at 203 cd/m²
}

using OddSizedX11Capture = X11CaptureOf<321, 241>;

// Real frames through the encoder and a decoder: the picture comes back at the rounded size
// with the colours that were drawn, read with the matrix the stream signals.
TEST_F(OddSizedX11Capture, CapturedFramesEncodeAndDecodeToWhatWasDrawn) {
    ASSERT_EQ(display_.width, 321);
    painter_->fill(0xff0000, 0, 0, 160, 241);
    painter_->fill(0x0000ff, 160, 0, 161, 241);
    Collector collector;
    auto stream = service_->makeStream(display_.displayID, configurationFor(display_, 30), queue_,
                                       collector.output());
    ASSERT_FALSE(startAndWait(*stream));
    ASSERT_TRUE(collector.waitFor([](int complete, int) { return complete >= 1; }));
    stopAndWait(*stream);
    const auto picture = collector.last();
    ASSERT_EQ(picture->width, 322);
    ASSERT_EQ(picture->height, 242);

    X265CompressionSession session(322, 242);
    CompressionProperties properties;
    properties.averageBitRate = 2'000'000;
    properties.expectedFrameRate = 30;
    ASSERT_EQ(session.setProperties(properties), CodecStatus::noErr);
    std::optional<EncodedSample> sample;
    ASSERT_EQ(session.encodeFrame(*picture, {}, {}, {},
                                  [&](CodecStatus, std::optional<EncodedSample> s) { sample = s; }),
              CodecStatus::noErr);
    ASSERT_TRUE(sample);
    Bytes accessUnit;
    for (const auto& set : sample->formatDescription->parameterSets) {
        accessUnit.insert(accessUnit.end(), {0, 0, 0, 1});
        accessUnit.insert(accessUnit.end(), set.begin(), set.end());
    }
    for (std::size_t offset = 0; offset + 4 <= sample->data.size();) {
        const std::size_t length = readBigEndian32(sample->data.data() + offset);
        accessUnit.insert(accessUnit.end(), {0, 0, 0, 1});
        accessUnit.insert(accessUnit.end(), sample->data.begin() + offset + 4,
                          sample->data.begin() + offset + 4 + length);
        offset += 4 + length;
    }
    auto decoder = HevcDecoder::create();
    const auto pictures = decoder->decode(accessUnit);
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(pictures[0].width, 322);
    EXPECT_EQ(pictures[0].matrixCoefficients, 6);
    const Bytes rgb = toRGB24(pictures[0]);
    auto pixel = [&](int x, int y) {
        const std::uint8_t* p = rgb.data() + (static_cast<std::size_t>(y) * 322 + x) * 3;
        return std::array<int, 3>{p[0], p[1], p[2]};
    };
    const auto red = pixel(60, 120);
    const auto blue = pixel(260, 120);
    EXPECT_GT(red[0], 235);
    EXPECT_LT(red[1], 20);
    EXPECT_LT(red[2], 20);
    EXPECT_LT(blue[0], 20);
    EXPECT_LT(blue[1], 20);
    EXPECT_GT(blue[2], 235);
    // The repeated edge column is blue too.
    EXPECT_GT(pixel(321, 120)[2], 235);
}

}  // namespace
}  // namespace vl
