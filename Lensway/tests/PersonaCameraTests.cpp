#include "Lensway/PersonaHEVCDecoder.h"
#include "Lensway/PersonaProviderSource.h"
#include "Lensway/Placeholder.h"
#include "Lensway/fake/FakeCameraHost.h"
#include "Lensway/v4l2/V4l2LoopbackOutput.h"

#include "base/testing/ManualClock.h"
#include "client/CameraSource.h"
#include "platform/notify/fake/InProcessNotifyCenter.h"
#include "platform/videocodec/libavcodec/HevcDecoder.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace vl;
using namespace vl::lensway;
using namespace std::chrono_literals;

namespace {

const std::string format720 = "com.corvane.cam.persona.format.1280x720";
const std::string format1080 = "com.corvane.cam.persona.format.1920x1080";
const std::string formatStop = "com.corvane.cam.persona.format.stop";

int lumaAt(const PixelBuffer& frame, int x, int y) {
    return frame.planes[0].bytes[static_cast<std::size_t>(y) * frame.planes[0].bytesPerRow + x];
}
std::pair<int, int> chromaAt(const PixelBuffer& frame, int x, int y) {
    const auto& plane = frame.planes[1];
    const std::size_t at = static_cast<std::size_t>(y / 2) * plane.bytesPerRow + (x / 2) * 2;
    return {plane.bytes[at], plane.bytes[at + 1]};
}

// Access units of the test pattern at a small size (fast to encode), key frame first.
std::vector<Bytes> patternUnits(int width, int height, int count) {
    std::string error;
    auto encoder = CameraEncoder::create(width, height, &error);
    EXPECT_TRUE(encoder) << error;
    TestPattern pattern(width, height);
    std::vector<Bytes> units;
    for (int i = 0; i < count && encoder; ++i)
        units.push_back(encoder->encode(pattern.nextFrame()));
    return units;
}

class PersonaCameraTest : public ::testing::Test {
  protected:
    PersonaDeviceSource& device() { return provider.deviceSource(); }
    void tick(int times = 1) { clock.advance(PersonaDeviceSource::frameInterval * times); }

    vl::testing::ManualClock clock;
    std::shared_ptr<InProcessNotifyCenter> notify = std::make_shared<InProcessNotifyCenter>();
    FakeCameraHost host;
    PersonaProviderSource provider{host, notify, {&clock, {}, HevcDecoder::factory()}};
};

TEST_F(PersonaCameraTest, TheCameraIsListedOnlyBetweenShowAndHide) {
    provider.start();
    EXPECT_FALSE(host.present());
    notify->post(showDeviceName);
    EXPECT_TRUE(host.present());
    EXPECT_TRUE(provider.isDeviceVisible());
    notify->post(showDeviceName);  // changes nothing
    EXPECT_EQ(host.adds, 1);
    notify->post(hideDeviceName);
    EXPECT_FALSE(host.present());
    EXPECT_FALSE(provider.isDeviceVisible());

    host.failAdd = true;  // a refused add leaves the camera hidden, and is tried on the next show
    notify->post(showDeviceName);
    EXPECT_FALSE(provider.isDeviceVisible());
    host.failAdd = false;
    notify->post(showDeviceName);
    EXPECT_TRUE(provider.isDeviceVisible());
}

TEST_F(PersonaCameraTest, StartFormatSwitchAndStopAreAnnouncedAndTwoConsumersShareTheTimer) {
    provider.showDevice();
    StreamRequests consumer = host.requests();
    consumer.startStream();
    EXPECT_EQ(notify->posted(), std::vector<std::string>{format720});
    consumer.setActiveFormatIndex(1);
    consumer.setActiveFormatIndex(1);  // unchanged: not announced again
    consumer.setActiveFormatIndex(2);  // out of range: ignored
    consumer.setActiveFormatIndex(-1);
    EXPECT_EQ(notify->posted(), (std::vector<std::string>{format720, format1080}));
    EXPECT_EQ(device().streamSource().activeFormatIndex(), 1);

    // A show while streaming tells a (re)started server the size again.
    provider.showDevice();
    EXPECT_EQ(notify->posted().back(), format1080);

    consumer.startStream();  // a second consumer
    EXPECT_EQ(device().streamingCounter(), 2u);
    tick(3);
    const std::size_t frames = host.frameCount();
    EXPECT_GE(frames, 3u);
    consumer.stopStream();
    EXPECT_TRUE(device().isTicking());
    tick(2);
    EXPECT_EQ(host.frameCount(), frames + 2);
    consumer.stopStream();
    EXPECT_EQ(notify->posted().back(), formatStop);
    EXPECT_FALSE(device().isTicking());
    EXPECT_EQ(device().streamingCounter(), 0u);
    tick(5);
    EXPECT_EQ(host.frameCount(), frames + 2);
    // Frames are at the active format's size.
    EXPECT_EQ(host.frames().back().width, 1920);
    EXPECT_EQ(host.frames().back().height, 1080);
}

TEST_F(PersonaCameraTest, PlaceholderIsBlackWithLightTextScrollingLeftByAHundredFiftiethPerTick) {
    provider.showDevice();
    host.requests().startStream();
    tick(0);  // the first frame fires at once
    ASSERT_EQ(host.frameCount(), 1u);
    const Placeholder& placeholder = device().placeholder();
    EXPECT_DOUBLE_EQ(placeholder.fontSize(), 100.8);
    const double firstX = placeholder.scrollX();
    EXPECT_DOUBLE_EQ(firstX, 1280 - 1280 / 150.0);
    tick();
    EXPECT_NEAR(placeholder.scrollX(), firstX - 1280 / 150.0, 1e-9);

    // Scroll until the text is well inside the frame, then look at its pixels.
    tick(60);
    const PixelBuffer frame = host.frames().back();
    ASSERT_TRUE(placeholder.hasFont());
    int textPixels = 0, otherPixels = 0;
    const int baseline = static_cast<int>(720 - (360 - 0.35 * 100.8));
    for (int y = 0; y < 720; ++y)
        for (int x = 0; x < 1280; ++x) {
            const int luma = lumaAt(frame, x, y);
            if (luma == Placeholder::textGray) {
                ++textPixels;
                // Text sits in a band around the middle: above the baseline by at most the
                // font's ascent, below it by its descent.
                EXPECT_GT(y, baseline - 100);
                EXPECT_LT(y, baseline + 30);
            } else if (luma != 0x10) {
                ++otherPixels;  // anti-aliased edges
            }
        }
    EXPECT_GT(textPixels, 5000);
    EXPECT_LT(otherPixels, textPixels);
    EXPECT_EQ(lumaAt(frame, 0, 0), 0x10);
    EXPECT_EQ(chromaAt(frame, 640, baseline), std::make_pair(0x80, 0x80));

    // Once wholly off the left edge it starts again at the right edge.
    const int ticksToWrap = static_cast<int>((1280 + placeholder.textWidth()) / (1280 / 150.0)) + 1;
    int wrappedAfter = 0;
    for (int i = 1; i <= ticksToWrap + 2 && !wrappedAfter; ++i) {
        const double before = placeholder.scrollX();
        tick();
        if (placeholder.scrollX() > before) {
            wrappedAfter = i;
            EXPECT_LT(before - 1280 / 150.0, -placeholder.textWidth());
            EXPECT_DOUBLE_EQ(placeholder.scrollX(), 1280);
        }
    }
    EXPECT_GT(wrappedAfter, 0);
}

TEST_F(PersonaCameraTest, DecodedPicturesReplaceThePlaceholderAndRepeatUntilCleared) {
    provider.showDevice();
    host.requests().startStream();
    const auto units = patternUnits(320, 180, 3);
    ASSERT_EQ(units.size(), 3u);

    // A frame before any key frame: no picture, the placeholder goes on.
    device().setEncodedFrameProperty(ByteView(units[1]));
    EXPECT_FALSE(device().hasPicture());
    tick();
    EXPECT_EQ(device().sentExternalCount(), 0);

    // Half a tick later the key frame comes: its picture goes out at once, not at the next tick,
    // and is repeated a whole interval after it.
    clock.advance(PersonaDeviceSource::frameInterval / 2);
    const auto placeholders = device().sentPlaceholderCount();
    device().setEncodedFrameProperty(ByteView(units[0]));
    ASSERT_TRUE(device().hasPicture());
    clock.advance(0ms);
    EXPECT_EQ(device().sentExternalCount(), 1);
    clock.advance(PersonaDeviceSource::frameInterval / 2);
    EXPECT_EQ(device().sentPlaceholderCount(), placeholders) << "the old tick still fired";
    EXPECT_EQ(device().sentExternalCount(), 1);
    tick(3);
    EXPECT_EQ(device().sentExternalCount(), 4);
    const auto frames = host.frames();
    const PixelBuffer& last = frames.back();
    EXPECT_EQ(last.planes[0].bytes, frames[frames.size() - 2].planes[0].bytes);
    EXPECT_EQ(last.width, 1280);  // scaled to the active format
    // The pattern's quadrant colours survive the round trip.
    const int quadrants[4][2] = {{320, 180}, {960, 180}, {320, 540}, {960, 540}};
    for (int q = 0; q < 4; ++q) {
        const auto expected = TestPattern::quadrantColours[static_cast<std::size_t>(q)];
        const int x = quadrants[q][0], y = quadrants[q][1];
        EXPECT_NEAR(lumaAt(last, x, y), expected.y, 6) << "quadrant " << q;
        EXPECT_NEAR(chromaAt(last, x, y).first, expected.u, 8) << "quadrant " << q;
        EXPECT_NEAR(chromaAt(last, x, y).second, expected.v, 8) << "quadrant " << q;
    }

    // A value that is no frame: the placeholder returns.
    device().setEncodedFrameProperty(std::nullopt);
    EXPECT_FALSE(device().hasPicture());
    tick();
    EXPECT_EQ(device().sentExternalCount(), 4);
    EXPECT_EQ(lumaAt(host.frames().back(), 0, 0), 0x10);
}

TEST(PersonaHEVCDecoder, NewParameterSetsRenewTheSessionAndGarbageNeverYieldsAPicture) {
    std::vector<PixelBuffer> pictures;
    PersonaHEVCDecoder decoder([&](PixelBuffer picture) { pictures.push_back(std::move(picture)); },
                               HevcDecoder::factory());
    decoder.setOutputSize(640, 360);

    const Bytes garbage = {0, 0, 1, 0x40, 0x01, 0xff, 0xff, 0, 0, 0, 1, 0x26, 0x01, 0xaa};
    decoder.decode(garbage);
    decoder.decode(Bytes(100, 0));
    decoder.decode(Bytes{});
    EXPECT_FALSE(decoder.hasSession());
    EXPECT_TRUE(pictures.empty());

    const auto small = patternUnits(320, 180, 2);
    for (const Bytes& unit : small) decoder.decode(unit);
    EXPECT_EQ(decoder.sessionsCreated(), 1);
    ASSERT_EQ(pictures.size(), 2u);
    // A truncated unit of the same stream, then another size mid-stream.
    decoder.decode(ByteView(small[1]).first(small[1].size() / 2));
    const auto large = patternUnits(480, 270, 1);
    decoder.decode(large[0]);
    EXPECT_EQ(decoder.sessionsCreated(), 2);
    ASSERT_GE(pictures.size(), 3u);
    EXPECT_EQ(pictures.back().width, 640);
    EXPECT_EQ(pictures.back().height, 360);
    EXPECT_NEAR(lumaAt(pictures.back(), 160, 90), TestPattern::quadrantColours[0].y, 6);
    // And back: the session that decoded the larger pictures decodes the smaller ones again.
    const std::size_t before = pictures.size();
    decoder.decode(small[0]);
    EXPECT_EQ(decoder.sessionsCreated(), 3);
    ASSERT_EQ(pictures.size(), before + 1);
    EXPECT_NEAR(lumaAt(pictures.back(), 160, 90), TestPattern::quadrantColours[0].y, 6);
    EXPECT_NEAR(lumaAt(pictures.back(), 480, 270), TestPattern::quadrantColours[3].y, 6);
}

TEST(PersonaHEVCDecoder, AfterAResetNothingDecodesBeforeTheNextKeyFrame) {
    std::vector<PixelBuffer> pictures;
    PersonaHEVCDecoder decoder([&](PixelBuffer picture) { pictures.push_back(std::move(picture)); },
                               HevcDecoder::factory());
    decoder.setOutputSize(320, 180);
    const auto units = patternUnits(320, 180, 3);
    decoder.decode(units[0]);
    decoder.decode(units[1]);
    ASSERT_EQ(pictures.size(), 2u);

    decoder.reset();
    EXPECT_FALSE(decoder.hasSession());
    decoder.decode(units[2]);  // the old stream's next picture: no parameter sets known now
    EXPECT_EQ(pictures.size(), 2u);
    EXPECT_EQ(decoder.droppedUnits(), 1);

    decoder.decode(units[0]);
    EXPECT_TRUE(decoder.hasSession());
    EXPECT_EQ(decoder.sessionsCreated(), 2);
    ASSERT_EQ(pictures.size(), 3u);
    EXPECT_NEAR(lumaAt(pictures.back(), 80, 45), TestPattern::quadrantColours[0].y, 6);
}

TEST(V4l2LoopbackOutput, FramesGoToTheLoopbackDeviceAsPackedNv12AndItsAbsenceIsNoError) {
    const std::filesystem::path root = ::testing::TempDir() + "/v4l2-" + std::to_string(::getpid());
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "class" / "video0");
    std::filesystem::create_directories(root / "class" / "video1");
    std::filesystem::create_directories(root / "modules");
    std::filesystem::create_directories(root / "dev");
    std::ofstream(root / "class" / "video0" / "name") << "Webcam\n";
    std::filesystem::create_directories(root / "class" / "video0" / "device" / "driver");
    std::ofstream(root / "class" / "video1" / "name") << "Corvane Persona Camera\n";
    std::ofstream(root / "dev" / "video1").close();

    EXPECT_EQ(V4l2LoopbackOutput::find(cameraName, root / "class", root / "modules", root / "dev"),
              nullptr);
    std::filesystem::create_directories(root / "modules" / "v4l2loopback");
    auto output =
        V4l2LoopbackOutput::find(cameraName, root / "class", root / "modules", root / "dev");
    ASSERT_TRUE(output);
    EXPECT_EQ(output->device(), root / "dev" / "video1");

    TestPattern pattern(64, 36);
    output->write(pattern.nextFrame());
    output->write(pattern.nextFrame());
    EXPECT_EQ(std::filesystem::file_size(root / "dev" / "video1"), 2u * 64 * 36 * 3 / 2);
    std::filesystem::remove_all(root);
}

}  // namespace
