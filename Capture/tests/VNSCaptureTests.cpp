#include "Capture/VNSCapture.h"

#include "base/Logger.h"
#include "base/testing/BlockedPool.h"
#include "base/testing/Eventually.h"
#include "platform/capture/fake/FakeCaptureService.h"
#include "platform/videocodec/fake/FakeVideoCodecService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

using namespace vl;
using namespace std::chrono_literals;

namespace {

constexpr DisplayID display = 7;

int nalType(const Bytes& unit, std::size_t offset) {
    return (unit[offset] >> 1) & 0x3f;
}

// The NAL unit types of an Annex-B access unit, in order (4-byte start codes only).
std::vector<int> nalTypes(const Bytes& accessUnit) {
    std::vector<int> types;
    for (std::size_t i = 0; i + 4 < accessUnit.size(); ++i) {
        if (accessUnit[i] == 0 && accessUnit[i + 1] == 0 && accessUnit[i + 2] == 0 &&
            accessUnit[i + 3] == 1) {
            types.push_back(nalType(accessUnit, i + 4));
            i += 4;
        }
    }
    return types;
}

constexpr int vps = 32, sps = 33, pps = 34, idr = 19, trail = 1;

// The NAL unit after the last start code.
ByteView lastUnit(const Bytes& accessUnit) {
    for (std::size_t i = accessUnit.size(); i-- > 3;) {
        if (accessUnit[i] == 1 && accessUnit[i - 1] == 0 && accessUnit[i - 2] == 0 &&
            accessUnit[i - 3] == 0)
            return ByteView(accessUnit).subspan(i + 1);
    }
    return {};
}

class VNSCaptureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Logger::shared().setCaptureHook([this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        });
        captureService->setDisplays({{display, 1921, 1081}, {8, 3840, 2160}});
    }
    void TearDown() override {
        Logger::shared().flush();
        Logger::shared().setCaptureHook(nullptr);
    }

    std::shared_ptr<VNSCapture> make(VNSCaptureConfig config = {}) {
        return VNSCapture::make(config, {captureService, codec});
    }
    VNSCapture::EncodedFrameHandler collector() {
        return [this](Bytes accessUnit) {
            std::lock_guard lock(mutex);
            frames.push_back(std::move(accessUnit));
        };
    }
    std::optional<VNSCaptureError> start(VNSCapture& capture, DisplayID id = display) {
        std::promise<std::optional<VNSCaptureError>> done;
        capture.startCapture(id, collector(), [&done](std::optional<VNSCaptureError> error) {
            done.set_value(error);
        });
        auto future = done.get_future();
        EXPECT_EQ(future.wait_for(10s), std::future_status::ready);
        return future.get();
    }
    // Emits a frame and waits until the capture has encoded it (or dropped it).
    void emit(VNSCapture& capture, FrameStatus status = FrameStatus::complete,
              DisplayID id = display) {
        captureService->emitFrame(id, status);
        (void)capture.frameCount();  // drains the encode queue
    }
    // Holds the encode queue until the promise is kept (or five seconds pass).
    std::promise<void> holdEncoder(VNSCapture& capture) {
        std::promise<void> release;
        capture.encodeQueue()->async(
            [released = release.get_future().share()] { released.wait_for(5s); });
        return release;
    }
    std::vector<Bytes> output() {
        std::lock_guard lock(mutex);
        return frames;
    }
    bool logged(const std::string& text) {
        Logger::shared().flush();
        std::lock_guard lock(mutex);
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }
    int countLogged(const std::string& text) {
        Logger::shared().flush();
        std::lock_guard lock(mutex);
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
            return line.find(text) != std::string::npos;
        }));
    }

    std::shared_ptr<FakeCaptureService> captureService = std::make_shared<FakeCaptureService>();
    std::shared_ptr<FakeVideoCodecService> codec = std::make_shared<FakeVideoCodecService>();
    std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<Bytes> frames;
};

TEST_F(VNSCaptureTest, StreamConfigurationFollowsTheDisplayAndTheSettings) {
    VNSCaptureConfig config;
    config.fps = 60;
    auto capture = make(config);
    ASSERT_FALSE(start(*capture));
    EXPECT_TRUE(capture->isCapturing());
    EXPECT_EQ(capture->targetDisplayID(), display);
    EXPECT_FALSE(capture->targetWindowID());

    auto configuration = captureService->lastConfiguration(display);
    ASSERT_TRUE(configuration);
    EXPECT_EQ(configuration->width, 1922);  // odd sizes round up to even
    EXPECT_EQ(configuration->height, 1082);
    EXPECT_EQ(configuration->minimumFrameInterval, MediaTime(1'000'000'000 / 60));
    EXPECT_TRUE(configuration->showsCursor);
    EXPECT_EQ(configuration->queueDepth, 5);
    EXPECT_EQ(configuration->pixelFormat, PixelFormat::biPlanar420Video8);
    EXPECT_TRUE(logged("[VNSCapture] Started — 1921×1081 @ 60fps HDR=false bitrate=15.0Mbps"));

    config.hdrEnabled = true;
    config.showsCursor = false;
    auto large = VNSCapture::streamConfiguration(config, 3841, 2160);
    EXPECT_EQ(large.queueDepth, 8);  // above 4K
    EXPECT_EQ(large.pixelFormat, PixelFormat::biPlanar420Video10);
    EXPECT_FALSE(large.showsCursor);
    EXPECT_EQ(VNSCapture::streamConfiguration(config, 3840, 2160).queueDepth, 5);
}

TEST_F(VNSCaptureTest, EncoderPropertiesCarryTheRatesKeyIntervalAndColour) {
    VNSCaptureConfig config;
    config.fps = 60;
    auto sdr = VNSCapture::compressionProperties(config, 3840, 2160);
    EXPECT_EQ(sdr.averageBitRate, 60'000'000);
    EXPECT_EQ(sdr.dataRateLimitBytes, 11'250'000);  // 90 Mbit in one second, in bytes
    EXPECT_EQ(sdr.dataRateLimitSeconds, 1);
    EXPECT_EQ(sdr.maxKeyFrameInterval, 120);
    EXPECT_EQ(sdr.maxKeyFrameIntervalDuration, 2.0);
    EXPECT_EQ(sdr.expectedFrameRate, 60);
    EXPECT_EQ(sdr.minAllowedFrameQP, 10);
    EXPECT_FALSE(sdr.allowFrameReordering);
    EXPECT_FALSE(sdr.allowOpenGOP);
    EXPECT_TRUE(sdr.realTime);
    EXPECT_EQ(sdr.profileLevel, VideoProfile::hevcMainAutoLevel);
    EXPECT_FALSE(sdr.colorPrimaries);  // taken from the frames

    config.hdrEnabled = true;
    auto hdr = VNSCapture::compressionProperties(config, 3840, 2160);
    EXPECT_EQ(hdr.averageBitRate, 75'000'000);
    EXPECT_EQ(hdr.dataRateLimitBytes, 14'062'500);
    EXPECT_EQ(hdr.profileLevel, VideoProfile::hevcMain10AutoLevel);
    EXPECT_EQ(hdr.colorPrimaries, ColorPrimaries::bt2020);
    EXPECT_EQ(hdr.transferFunction, TransferFunction::pq);
    EXPECT_EQ(hdr.yCbCrMatrix, YCbCrMatrix::bt2020);
}

TEST_F(VNSCaptureTest, TheEncoderIsMadeOnTheFirstFrameAndKeyFramesCarryTheParameterSets) {
    VNSCaptureConfig config;
    config.fps = 60;
    auto capture = make(config);
    ASSERT_FALSE(start(*capture));
    EXPECT_TRUE(codec->sessions().empty());
    EXPECT_EQ(capture->encoderSize(), (std::pair{0, 0}));

    emit(*capture);
    emit(*capture);
    ASSERT_EQ(codec->sessions().size(), 1u);
    auto session = codec->sessions()[0];
    EXPECT_EQ(session->width, 1922);
    EXPECT_EQ(session->height, 1082);
    EXPECT_TRUE(session->prepared);
    ASSERT_TRUE(session->properties);
    EXPECT_EQ(session->properties->maxKeyFrameInterval, 120);
    EXPECT_EQ(capture->encoderSize(), (std::pair{1922, 1082}));
    EXPECT_EQ(capture->frameCount(), 2);

    // No hardware here: the two tiers that require it fail; preferring it gets software.
    EXPECT_EQ(countLogged("[VNSCapture] Session create failed (status=-12908) for spec: "), 2);
    EXPECT_TRUE(
        logged("[VNSCapture] Encoder ready — 1922×1082 HEVC Main SDR @ 15.0 Mbps avg / "
               "22.6 Mbps peak [HW=false, tier=HW preferred, encoder=fake.hevc.software]"));

    ASSERT_EQ(session->frames.size(), 2u);
    EXPECT_EQ(session->frames[0].presentationTime, MediaTime(0));
    EXPECT_GT(session->frames[1].presentationTime, MediaTime(0));
    EXPECT_EQ(session->frames[0].duration, MediaTime(1'000'000'000 / 60));

    auto out = output();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(nalTypes(out[0]), (std::vector{vps, sps, pps, idr}));
    EXPECT_EQ(nalTypes(out[1]), (std::vector{trail}));
    EXPECT_EQ(Bytes(out[1].begin(), out[1].begin() + 4), (Bytes{0, 0, 0, 1}));
}

TEST_F(VNSCaptureTest, HardwareTiersAreTriedFirstAndReported) {
    codec->setHardwareAvailable(true, /*lowLatencyRateControl=*/false);
    auto capture = make();
    ASSERT_FALSE(start(*capture));
    emit(*capture);
    EXPECT_EQ(countLogged("Session create failed"), 1);
    EXPECT_TRUE(logged("[HW=true, tier=HW, encoder=fake.hevc.hardware]"));
    ASSERT_EQ(codec->sessions().size(), 1u);
    EXPECT_TRUE(codec->sessions()[0]->requirements.requireHardwareAcceleratedVideoEncoder);
}

TEST_F(VNSCaptureTest, WhenEveryTierFailsEachFrameIsDroppedAndRetriesTheSetup) {
    codec->failCreation(CodecStatus::couldNotCreateInstance);
    auto capture = make();
    ASSERT_FALSE(start(*capture));
    emit(*capture);
    emit(*capture);
    EXPECT_EQ(codec->creationAttempts(), 8);
    EXPECT_EQ(countLogged("[VNSCapture] Encoder setup failed: VTCompressionSession creation "
                          "failed: -12900"),
              2);
    EXPECT_TRUE(output().empty());

    codec->failCreation(std::nullopt);
    emit(*capture);
    EXPECT_EQ(output().size(), 1u);
}

TEST_F(VNSCaptureTest, RejectedPropertiesAndEncodeErrorsAreReportedAndTheStreamGoesOn) {
    codec->failSetProperties(CodecStatus::propertyNotSupported);
    auto capture = make();
    ASSERT_FALSE(start(*capture));
    emit(*capture);
    EXPECT_TRUE(
        logged("[VNSCapture] Warning: some encoder properties not accepted (-12900), "
               "continuing."));
    codec->failEncodes(CodecStatus::encoderMalfunction);
    emit(*capture);
    EXPECT_TRUE(logged("[VNSCapture] Encode error: -12912"));
    emit(*capture);
    EXPECT_EQ(output().size(), 2u);
}

TEST_F(VNSCaptureTest, ASizeChangeMakesANewEncoderWhoseFirstOutputIsAKeyFrame) {
    auto capture = make();
    ASSERT_FALSE(start(*capture));
    emit(*capture);
    emit(*capture);
    captureService->resizeDisplay(display, 1280, 720);
    emit(*capture);

    auto sessions = codec->sessions();
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_TRUE(sessions[0]->invalidated);
    EXPECT_EQ(sessions[0]->completeFramesCalls, 1);
    EXPECT_EQ(sessions[1]->width, 1280);
    EXPECT_EQ(capture->encoderSize(), (std::pair{1280, 720}));
    auto out = output();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(nalTypes(out[2]), (std::vector{vps, sps, pps, idr}));
    auto picture = parseFakePicture(lastUnit(out[2]));
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width, 1280);
}

TEST_F(VNSCaptureTest, PausedFramesAreDiscardedAndResumingForcesAKeyFrame) {
    auto capture = make();
    capture->resumeCapture();  // not capturing: nothing
    ASSERT_FALSE(start(*capture));
    emit(*capture);
    emit(*capture);
    capture->setPaused(true);
    emit(*capture);
    emit(*capture);
    EXPECT_EQ(output().size(), 2u);

    capture->resumeCapture();
    EXPECT_FALSE(capture->isPaused());
    emit(*capture);
    emit(*capture);
    auto out = output();
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(nalTypes(out[2]), (std::vector{vps, sps, pps, idr}));
    EXPECT_EQ(nalTypes(out[3]), (std::vector{trail}));
    auto frames = codec->sessions()[0]->frames;
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_TRUE(frames[2].forceKeyFrame);
    EXPECT_FALSE(frames[3].forceKeyFrame);
}

TEST_F(VNSCaptureTest, OnlyCompleteFramesAreEncoded) {
    auto capture = make();
    ASSERT_FALSE(start(*capture));
    for (auto status : {FrameStatus::idle, FrameStatus::blank, FrameStatus::suspended,
                        FrameStatus::started, FrameStatus::stopped})
        emit(*capture, status);
    EXPECT_TRUE(output().empty());
    EXPECT_TRUE(codec->sessions().empty());
    emit(*capture);
    EXPECT_EQ(output().size(), 1u);
}

TEST_F(VNSCaptureTest, StartingTwiceChangesNothing) {
    auto capture = make();
    ASSERT_FALSE(start(*capture));
    std::vector<Bytes> other;
    std::promise<std::optional<VNSCaptureError>> done;
    capture->startCapture(
        8, [&other](Bytes b) { other.push_back(std::move(b)); },
        [&done](std::optional<VNSCaptureError> error) { done.set_value(error); });
    EXPECT_FALSE(done.get_future().get());
    EXPECT_EQ(captureService->streamsMade(), 1);
    EXPECT_EQ(capture->targetDisplayID(), display);
    emit(*capture);
    EXPECT_EQ(output().size(), 1u);
    EXPECT_TRUE(other.empty());
}

TEST_F(VNSCaptureTest, StartFailuresCarryTheirTexts) {
    auto capture = make();
    auto missing = start(*capture, 99);
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->code, VNSCaptureError::Code::displayNotFound);
    EXPECT_EQ(missing->description(), "Display 99 not found in shareable content.");
    EXPECT_FALSE(capture->isCapturing());

    captureService->failNextStart(CaptureError{CaptureErrorCode::connectionFailed, "no X"});
    auto refused = start(*capture);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->code, VNSCaptureError::Code::captureStartFailed);
    EXPECT_EQ(refused->description().rfind("SCStream start failed: ", 0), 0u);
    EXPECT_NE(refused->description().find("no X"), std::string::npos);
    EXPECT_FALSE(capture->isCapturing());

    // After a failed start a new one works.
    EXPECT_FALSE(start(*capture));
    EXPECT_TRUE(capture->isCapturing());

    EXPECT_EQ(VNSCaptureError::windowNotFound(5).description(),
              "Window 5 not found in shareable content.");
    EXPECT_EQ(VNSCaptureError::encoderCreationFailed(-12900).description(),
              "VTCompressionSession creation failed: -12900");
    EXPECT_EQ(VNSCaptureError::noHandlerSet().description(),
              "Cannot switch capture: no handler set.");
}

TEST_F(VNSCaptureTest, StoppingEndsTheStreamAndTheEncoderAndNothingFollows) {
    auto capture = make();
    capture->stopCapture();  // never started: nothing
    ASSERT_FALSE(start(*capture));
    emit(*capture);
    capture->setPaused(true);
    capture->stopCapture();
    EXPECT_FALSE(capture->isCapturing());
    EXPECT_FALSE(capture->isPaused());
    EXPECT_EQ(captureService->runningStreamCount(display), 0);
    EXPECT_EQ(capture->encoderSize(), (std::pair{0, 0}));  // also waits for the teardown
    EXPECT_TRUE(codec->sessions()[0]->invalidated);
    EXPECT_EQ(captureService->emitFrame(display), 0);
    EXPECT_EQ(output().size(), 1u);

    // It can start again, with a fresh time base.
    ASSERT_FALSE(start(*capture));
    emit(*capture);
    EXPECT_EQ(capture->frameCount(), 1);
    EXPECT_EQ(codec->sessions()[1]->frames[0].presentationTime, MediaTime(0));
}

TEST_F(VNSCaptureTest, APlatformStopIsReportedAndDiscardsTheEncoder) {
    auto capture = make();
    ASSERT_FALSE(start(*capture));
    emit(*capture);
    captureService->stopStreamsWithError(display, {CaptureErrorCode::connectionFailed, "gone"});
    (void)capture->frameCount();
    EXPECT_FALSE(capture->isCapturing());
    EXPECT_TRUE(logged("[VNSCapture] Stream stopped with error: "));
    EXPECT_TRUE(codec->sessions()[0]->invalidated);
}

TEST_F(VNSCaptureTest, ReleasingARunningCaptureStopsIt) {
    auto capture = make();
    ASSERT_FALSE(start(*capture));
    emit(*capture);
    auto encodeQueue = capture->encodeQueue();
    capture.reset();
    EXPECT_EQ(captureService->runningStreamCount(display), 0);
    encodeQueue->sync([] {});  // the encoder is finished behind the frames on its queue
    EXPECT_TRUE(codec->sessions()[0]->invalidated);
}

// The deadlock of a stop behind a busy encoder: stopping and releasing return while the encode
// queue is still taken, and no frame of the stopped stream reaches the handler afterwards.
TEST_F(VNSCaptureTest, StoppingAndReleasingNeverWaitForABusyEncoder) {
    auto capture = make();
    ASSERT_FALSE(start(*capture));
    emit(*capture);
    auto encodeQueue = capture->encodeQueue();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    encodeQueue->async([released] { released.wait_for(5s); });
    captureService->emitFrame(display);  // queued behind the busy block

    const auto start = std::chrono::steady_clock::now();
    capture->stopCapture();
    capture.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    release.set_value();
    encodeQueue->sync([] {});
    EXPECT_EQ(output().size(), 1u);
    EXPECT_TRUE(codec->sessions()[0]->invalidated);
    EXPECT_EQ(captureService->runningStreamCount(display), 0);
}

// Capture and encoding have threads of their own: frames are encoded while every thread of the
// shared pool is held (as the control server's once were, waiting on a lock).
TEST_F(VNSCaptureTest, FramesAreEncodedWhileEveryPoolThreadIsBusy) {
    auto capture = make();
    ASSERT_FALSE(start(*capture));
    vl::testing::BlockedPool pool;
    ASSERT_TRUE(pool.held());
    const auto start = std::chrono::steady_clock::now();
    emit(*capture);
    emit(*capture);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(output().size(), 2u);
}

TEST_F(VNSCaptureTest, AvailableEncodersAreListedForHevcOnly) {
    codec->setHardwareAvailable(true);
    VNSCapture::logAvailableEncoders(*codec);
    EXPECT_TRUE(
        logged("[VNSCapture] Available HEVC encoder: Fake HEVC (hardware) "
               "id=fake.hevc.hardware isHW=true"));
    EXPECT_TRUE(
        logged("[VNSCapture] Available HEVC encoder: Fake HEVC id=fake.hevc.software "
               "isHW=false"));
    EXPECT_FALSE(logged("H.264"));
    codec->failListEncoders(CodecStatus::encoderListUnavailable);
    VNSCapture::logAvailableEncoders(*codec);
    EXPECT_TRUE(logged("[VNSCapture] Could not enumerate encoders (status=-12915)"));
}

}  // namespace

// A frame still waiting for the busy encoder when a newer one arrives is dropped: the encoder
// goes on with the newest picture (here told apart by its size), never with the stale one.
TEST_F(VNSCaptureTest, TheEncoderTakesTheNewestFrameAndDropsTheOnesItWasTooBusyFor) {
    auto capture = make();
    ASSERT_FALSE(start(*capture));
    emit(*capture);
    auto release = holdEncoder(*capture);
    captureService->resizeDisplay(display, 1280, 720);
    captureService->emitFrame(display);  // stale before the encoder is free
    captureService->resizeDisplay(display, 1600, 900);
    captureService->emitFrame(display);
    release.set_value();
    (void)capture->frameCount();

    auto sessions = codec->sessions();
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[1]->width, 1600);
    EXPECT_EQ(sessions[1]->frames.size(), 1u);
    EXPECT_EQ(output().size(), 2u);
    // Later frames are encoded one by one again.
    emit(*capture);
    emit(*capture);
    EXPECT_EQ(output().size(), 4u);
}

// A key frame asked for while frames wait is not lost with the frames that are dropped.
TEST_F(VNSCaptureTest, AKeyFrameAskedForSurvivesTheFramesDroppedBeforeIt) {
    auto capture = make();
    ASSERT_FALSE(start(*capture));
    emit(*capture);
    auto release = holdEncoder(*capture);
    capture->setPaused(true);
    capture->resumeCapture();
    captureService->emitFrame(display);
    captureService->emitFrame(display);
    release.set_value();
    (void)capture->frameCount();

    auto frames = codec->sessions()[0]->frames;
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(frames[1].forceKeyFrame);
    auto out = output();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(nalTypes(out[1]), (std::vector{vps, sps, pps, idr}));
}
