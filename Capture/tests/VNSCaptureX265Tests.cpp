// The capture over the real software encoder: what it hands out must decode, picture for
// picture, with an independent decoder.
#include "Capture/VNSCapture.h"

#include "platform/capture/fake/FakeCaptureService.h"
#include "platform/videocodec/libavcodec/HevcDecoder.h"
#include "platform/videocodec/x265/X265VideoCodecService.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <mutex>

using namespace vl;
using namespace std::chrono_literals;

namespace {

constexpr DisplayID display = 3;

std::vector<int> nalTypes(const Bytes& accessUnit) {
    std::vector<int> types;
    for (std::size_t i = 0; i + 4 < accessUnit.size(); ++i) {
        if (accessUnit[i] == 0 && accessUnit[i + 1] == 0 && accessUnit[i + 2] == 0 &&
            accessUnit[i + 3] == 1) {
            types.push_back((accessUnit[i + 4] >> 1) & 0x3f);
            i += 4;
        }
    }
    return types;
}

bool startsWithParameterSets(const Bytes& accessUnit) {
    auto types = nalTypes(accessUnit);
    return types.size() > 3 && types[0] == 32 && types[1] == 33 && types[2] == 34;
}

class VNSCaptureX265Test : public ::testing::Test {
  protected:
    std::shared_ptr<VNSCapture> startCapture(VNSCaptureConfig config) {
        auto capture = VNSCapture::make(config, {captureService, codec});
        std::promise<std::optional<VNSCaptureError>> done;
        capture->startCapture(
            display,
            [this](Bytes accessUnit) {
                std::lock_guard lock(mutex);
                units.push_back(std::move(accessUnit));
            },
            [&done](std::optional<VNSCaptureError> error) { done.set_value(error); });
        auto error = done.get_future().get();
        EXPECT_FALSE(error) << error->description();
        return capture;
    }
    // One frame at a time, each encoded before the next, so none is skipped for queue depth.
    void emit(VNSCapture& capture, int count) {
        for (int i = 0; i < count; ++i) {
            captureService->emitFrame(display);
            (void)capture.frameCount();
        }
    }
    std::vector<Bytes> output() {
        std::lock_guard lock(mutex);
        return units;
    }

    std::shared_ptr<FakeCaptureService> captureService = std::make_shared<FakeCaptureService>();
    std::shared_ptr<X265VideoCodecService> codec = std::make_shared<X265VideoCodecService>();
    std::mutex mutex;
    std::vector<Bytes> units;
};

TEST_F(VNSCaptureX265Test, EveryAccessUnitDecodesToOnePictureOfTheCapturedSize) {
    captureService->setDisplays({{display, 641, 361}});
    VNSCaptureConfig config;
    config.fps = 60;
    auto capture = startCapture(config);
    emit(*capture, 10);
    capture->setPaused(true);
    emit(*capture, 3);
    capture->resumeCapture();
    emit(*capture, 2);
    captureService->resizeDisplay(display, 320, 240);
    emit(*capture, 3);
    capture->stopCapture();

    auto decoder = HevcDecoder::create();
    ASSERT_TRUE(decoder);
    auto out = output();
    ASSERT_EQ(out.size(), 15u);  // the paused frames never reached the encoder
    std::vector<DecodedPicture> pictures;
    for (const Bytes& unit : out) {
        auto decoded = decoder->decode(unit);
        ASSERT_EQ(decoded.size(), 1u) << "an access unit must give its picture at once";
        pictures.push_back(std::move(decoded[0]));
    }
    EXPECT_TRUE(decoder->flush().empty());
    EXPECT_EQ(decoder->errorCount(), 0) << decoder->lastError();

    // Key frames — the first, the one after resuming, the first at the new size — carry the
    // parameter sets; the others are plain pictures.
    for (std::size_t i = 0; i < out.size(); ++i) {
        const bool key = i == 0 || i == 10 || i == 12;
        EXPECT_EQ(startsWithParameterSets(out[i]), key) << "unit " << i;
        EXPECT_EQ(pictures[i].keyFrame, key) << "unit " << i;
        const bool resized = i >= 12;
        EXPECT_EQ(pictures[i].width, resized ? 320 : 642) << "unit " << i;
        EXPECT_EQ(pictures[i].height, resized ? 240 : 362) << "unit " << i;
        EXPECT_EQ(pictures[i].bitDepth, 8);
    }

    // The picture is the captured one: the test pattern's luma ramp, within coding error.
    PixelBuffer source = makePixelBuffer(320, 240, PixelFormat::biPlanar420Video8, {});
    fillTestPattern(source, 17);  // the 18th frame the display produced, the last one encoded
    const DecodedPicture& last = pictures.back();
    double error = 0;
    int samples = 0;
    for (int y = 8; y < 232; y += 16) {
        for (int x = 8; x < 312; x += 16) {
            error += std::abs(last.luma(x, y) -
                              source.planes[0].bytes[y * source.planes[0].bytesPerRow + x]);
            ++samples;
        }
    }
    EXPECT_LT(error / samples, 6.0);
}

TEST_F(VNSCaptureX265Test, HdrIsMain10WithBt2020AndPqSignalled) {
    captureService->setDisplays({{display, 640, 360}});
    VNSCaptureConfig config;
    config.fps = 30;
    config.hdrEnabled = true;
    auto capture = startCapture(config);
    emit(*capture, 3);
    capture->stopCapture();

    auto decoder = HevcDecoder::create();
    ASSERT_TRUE(decoder);
    auto out = output();
    ASSERT_EQ(out.size(), 3u);
    for (const Bytes& unit : out) {
        auto pictures = decoder->decode(unit);
        ASSERT_EQ(pictures.size(), 1u);
        EXPECT_EQ(pictures[0].bitDepth, 10);
        EXPECT_EQ(pictures[0].colorPrimaries, 9);            // BT.2020
        EXPECT_EQ(pictures[0].transferCharacteristics, 16);  // PQ
        EXPECT_EQ(pictures[0].matrixCoefficients, 9);        // BT.2020 non-constant
    }
}

}  // namespace
