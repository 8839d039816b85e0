// The viewer's decoder choice: VA-API asked for where no render node exists falls back to software
// and still decodes; slice threads give the same pictures as one thread, each out of its own unit.
#include "platform/capture/PixelBuffer.h"
#include "platform/capture/fake/FakeCaptureService.h"
#include "platform/videocodec/libavcodec/HevcDecoder.h"
#include "platform/videocodec/tests/AnnexB.h"
#include "platform/videocodec/x265/X265CompressionSession.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace vl {
namespace {

// Access units of a short moving pattern, the first a key frame.
std::vector<Bytes> encodedUnits(int width, int height, int count) {
    X265CompressionSession session(width, height);
    CompressionProperties properties;
    properties.averageBitRate = 2'000'000;
    properties.expectedFrameRate = 30;
    properties.maxKeyFrameInterval = 60;
    EXPECT_EQ(session.setProperties(properties), CodecStatus::noErr);
    EXPECT_EQ(session.prepareToEncodeFrames(), CodecStatus::noErr);
    std::vector<Bytes> units;
    for (int i = 0; i < count; ++i) {
        PixelBuffer frame = makePixelBuffer(width, height, PixelFormat::biPlanar420Video8, {});
        fillTestPattern(frame, static_cast<std::uint64_t>(i));
        session.encodeFrame(frame, std::chrono::milliseconds(i * 33), std::chrono::milliseconds(33),
                            FrameOptions{i == 0}, [&](CodecStatus, std::optional<EncodedSample> s) {
                                if (s) units.push_back(test::annexB(*s));
                            });
    }
    return units;
}

TEST(ViewerDecoder, VaapiWithoutARenderNodeFallsBackToSoftwareAndDecodes) {
    ASSERT_FALSE(std::filesystem::exists("/nonexistent/renderD128"));
    HevcDecoderOptions options;
    options.device = HevcDecoderOptions::Device::vaapi;
    options.renderNode = "/nonexistent/renderD128";
    auto decoder = HevcDecoder::create(options);
    ASSERT_TRUE(decoder);
    EXPECT_FALSE(decoder->hardware());
    EXPECT_EQ(decoder->description(), "software");
    EXPECT_NE(decoder->fallbackReason().find("/nonexistent/renderD128"), std::string::npos)
        << decoder->fallbackReason();

    const auto units = encodedUnits(320, 240, 3);
    ASSERT_EQ(units.size(), 3u);
    for (const auto& unit : units) {
        auto pictures = decoder->decode(unit);
        ASSERT_EQ(pictures.size(), 1u);
        EXPECT_EQ(pictures[0].width, 320);
        EXPECT_EQ(pictures[0].height, 240);
    }
    EXPECT_EQ(decoder->errorCount(), 0);

    // Software asked for is no fallback.
    auto software = HevcDecoder::create(HevcDecoderOptions{});
    ASSERT_TRUE(software);
    EXPECT_TRUE(software->fallbackReason().empty());
}

TEST(ViewerDecoder, AutomaticUsesARenderNodeOnlyWhereOneOpens) {
    HevcDecoderOptions options;
    options.device = HevcDecoderOptions::Device::automatic;
    auto decoder = HevcDecoder::create(options);
    ASSERT_TRUE(decoder);
    bool nodes = false;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", error))
        nodes = nodes || entry.path().filename().string().starts_with("renderD");
    if (!nodes) {
        EXPECT_FALSE(decoder->hardware());
        EXPECT_EQ(decoder->fallbackReason(), "no render node in /dev/dri");
    } else {
        // Either the device opened or the reason names it.
        EXPECT_TRUE(decoder->hardware() || !decoder->fallbackReason().empty());
    }
}

TEST(ViewerDecoder, SliceThreadsGiveTheSamePicturesAtOnce) {
    const auto units = encodedUnits(640, 360, 4);
    ASSERT_EQ(units.size(), 4u);
    HevcDecoderOptions threaded;
    threaded.threads = 3;
    auto one = HevcDecoder::create(HevcDecoderOptions{});
    auto three = HevcDecoder::create(threaded);
    ASSERT_TRUE(one && three);
    EXPECT_EQ(three->description(), "software, 3 slice threads");
    for (const auto& unit : units) {
        auto a = one->decode(unit);
        auto b = three->decode(unit);
        // No picture held back for later units, as frame threads would.
        ASSERT_EQ(a.size(), 1u);
        ASSERT_EQ(b.size(), 1u);
        for (int plane = 0; plane < 3; ++plane) EXPECT_EQ(a[0].planes[plane], b[0].planes[plane]);
    }
}

}  // namespace
}  // namespace vl
