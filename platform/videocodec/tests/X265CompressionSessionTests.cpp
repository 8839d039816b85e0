#include "platform/capture/fake/FakeCaptureService.h"
#include "platform/videocodec/NalUnits.h"
#include "platform/videocodec/libavcodec/HevcDecoder.h"
#include "platform/videocodec/tests/AnnexB.h"
#include "platform/videocodec/x265/X265CompressionSession.h"
#include "platform/videocodec/x265/X265VideoCodecService.h"

#include <gtest/gtest.h>

namespace vl {
namespace {

using std::chrono::milliseconds;

PixelBuffer patternFrame(int width, int height, std::uint64_t number, bool hdr = false) {
    const ColorDescription color =
        hdr ? ColorDescription{ColorPrimaries::bt2020, TransferFunction::pq, YCbCrMatrix::bt2020,
                               false}
            : ColorDescription{};
    PixelBuffer buffer = makePixelBuffer(
        width, height, hdr ? PixelFormat::biPlanar420Video10 : PixelFormat::biPlanar420Video8,
        color);
    fillTestPattern(buffer, number);
    return buffer;
}

// The settings a capture makes: low latency, bit rates from the frame size, two-second GOP.
CompressionProperties captureProperties(int width, int height, int fps, bool hdr) {
    CompressionProperties properties;
    const double average = static_cast<double>(width) * height / 8294400.0 * (hdr ? 75 : 60);
    properties.averageBitRate = static_cast<std::int64_t>(average * 1'000'000);
    properties.dataRateLimitBytes = static_cast<std::int64_t>(average * 1.5 * 1'000'000 * 0.125);
    properties.expectedFrameRate = fps;
    properties.maxKeyFrameInterval = fps * 2;
    properties.maxKeyFrameIntervalDuration = 2.0;
    properties.minAllowedFrameQP = 10;
    if (hdr) {
        properties.profileLevel = VideoProfile::hevcMain10AutoLevel;
        properties.colorPrimaries = ColorPrimaries::bt2020;
        properties.transferFunction = TransferFunction::pq;
        properties.yCbCrMatrix = YCbCrMatrix::bt2020;
    }
    return properties;
}

struct Output {
    int calls = 0;
    CodecStatus status = CodecStatus::noErr;
    std::optional<EncodedSample> sample;
};

Output encode(CompressionSession& session, const PixelBuffer& frame, std::int64_t number,
              bool forceKey = false) {
    Output output;
    const CodecStatus submit = session.encodeFrame(
        frame, milliseconds(1000 + number * 16), milliseconds(16), FrameOptions{forceKey},
        [&](CodecStatus status, std::optional<EncodedSample> sample) {
            ++output.calls;
            output.status = status;
            output.sample = std::move(sample);
        });
    EXPECT_EQ(submit, CodecStatus::noErr);
    return output;
}

std::vector<int> parameterSetTypes(const EncodedSample& sample) {
    std::vector<int> types;
    for (const auto& set : sample.formatDescription->parameterSets) {
        types.push_back(hevcNalUnitType(set));
    }
    return types;
}

TEST(X265CompressionSession, EveryPictureComesBackFromItsOwnCallAndDecodes) {
    const int width = 320, height = 240;
    X265CompressionSession session(width, height);
    ASSERT_EQ(session.setProperties(captureProperties(width, height, 60, false)),
              CodecStatus::noErr);
    ASSERT_EQ(session.prepareToEncodeFrames(), CodecStatus::noErr);
    auto decoder = HevcDecoder::create();
    ASSERT_TRUE(decoder);

    for (int n = 0; n < 12; ++n) {
        const PixelBuffer frame = patternFrame(width, height, n);
        const Output out = encode(session, frame, n, /*forceKey=*/n == 7);
        ASSERT_EQ(out.calls, 1) << "frame " << n;
        ASSERT_TRUE(out.sample) << "frame " << n;
        const EncodedSample& sample = *out.sample;
        EXPECT_EQ(sample.presentationTime, milliseconds(1000 + n * 16));
        EXPECT_EQ(sample.duration, milliseconds(16));
        const bool expectKey = n == 0 || n == 7;
        EXPECT_EQ(sample.isKeyFrame(), expectKey) << "frame " << n;
        ASSERT_TRUE(sample.formatDescription);
        EXPECT_EQ(parameterSetTypes(sample), (std::vector<int>{32, 33, 34}));

        // The sample itself holds only picture units, never the parameter sets.
        const Bytes unit = test::annexB(sample);
        bool sawSlice = false;
        for (ByteView nal : test::lengthPrefixedUnits(sample.data)) {
            const int type = hevcNalUnitType(nal);
            EXPECT_FALSE(type >= HevcNalType::vps && type <= HevcNalType::pps);
            sawSlice = sawSlice || type < 32;
            if (type < 32) {
                EXPECT_EQ(type == HevcNalType::idrWRadl || type == HevcNalType::idrNLp, expectKey);
            }
        }
        EXPECT_TRUE(sawSlice);

        const auto pictures = decoder->decode(unit);
        ASSERT_EQ(pictures.size(), 1u) << "frame " << n << ": " << decoder->lastError();
        EXPECT_EQ(pictures[0].width, width);
        EXPECT_EQ(pictures[0].height, height);
        EXPECT_EQ(pictures[0].keyFrame, expectKey);
        EXPECT_GT(test::lumaPsnr(frame, pictures[0]), 32.0) << "frame " << n;
    }
    EXPECT_EQ(decoder->errorCount(), 0);
    EXPECT_TRUE(decoder->flush().empty());
}

TEST(X265CompressionSession, ConfigurationFollowsTheProperties) {
    X265CompressionSession session(1280, 720);
    CompressionProperties properties = captureProperties(1280, 720, 60, false);
    properties.averageBitRate = 8'000'000;
    properties.dataRateLimitBytes = 1'500'000;  // 12 Mbit/s
    ASSERT_EQ(session.setProperties(properties), CodecStatus::noErr);
    ASSERT_FALSE(session.openedParameters());  // colour waits for the first frame
    encode(session, patternFrame(1280, 720, 0), 0);
    const auto opened = session.openedParameters();
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->bitDepth, 8);
    EXPECT_EQ(opened->keyframeMax, 120);
    EXPECT_TRUE(opened->intraRefresh);
    EXPECT_DOUBLE_EQ(opened->rateFactor, 23);  // quality 0.85, capped by the rate limit
    EXPECT_EQ(opened->vbvMaxBitrateKbps, 12000);
    EXPECT_EQ(opened->vbvBufferSizeKbits, 12000);  // the limit's window: one second
    EXPECT_EQ(opened->qpMin, 10);
    // SDR: the frame's own description (BT.709 primaries, sRGB transfer, BT.601 matrix).
    EXPECT_EQ(opened->colorPrimaries, 1);
    EXPECT_EQ(opened->transferCharacteristics, 13);
    EXPECT_EQ(opened->matrixCoeffs, 6);
}

// Without a quality the average rate is the target, capped by the same limit.
TEST(X265CompressionSession, WithoutAQualityTheAverageRateIsTheTarget) {
    X265CompressionSession session(1280, 720);
    CompressionProperties properties = captureProperties(1280, 720, 60, false);
    properties.averageBitRate = 8'000'000;
    properties.dataRateLimitBytes = 1'500'000;
    properties.quality = 0;
    ASSERT_EQ(session.setProperties(properties), CodecStatus::noErr);
    encode(session, patternFrame(1280, 720, 0), 0);
    const auto opened = session.openedParameters();
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->rateFactor, 0);
    EXPECT_EQ(opened->bitrateKbps, 8000);
    EXPECT_EQ(opened->vbvMaxBitrateKbps, 12000);
}

// The interval is covered by intra refresh, not by whole key pictures: the stream has one at the
// start and one wherever asked, and every picture between decodes.
TEST(X265CompressionSession, KeyPicturesOnlyAtTheStartAndWhenForced) {
    X265CompressionSession session(192, 128);
    CompressionProperties properties = captureProperties(192, 128, 5, false);  // interval 10
    ASSERT_EQ(session.setProperties(properties), CodecStatus::noErr);
    auto decoder = HevcDecoder::create();
    auto late = HevcDecoder::create();  // joins at the forced key picture
    std::vector<int> keys;
    for (int n = 0; n < 25; ++n) {
        const Output out = encode(session, patternFrame(192, 128, n), n, n == 13);
        ASSERT_TRUE(out.sample);
        if (out.sample->isKeyFrame()) {
            keys.push_back(n);
            EXPECT_EQ(parameterSetTypes(*out.sample),
                      (std::vector<int>{HevcNalType::vps, HevcNalType::sps, HevcNalType::pps}));
        }
        const auto unit = test::annexB(*out.sample);
        EXPECT_EQ(decoder->decode(unit).size(), 1u) << "frame " << n;
        if (n >= 13) {
            EXPECT_EQ(late->decode(unit).size(), 1u) << "frame " << n;
        }
    }
    EXPECT_EQ(keys, (std::vector<int>{0, 13}));
    EXPECT_EQ(decoder->errorCount(), 0);
    EXPECT_EQ(late->errorCount(), 0);
}

TEST(X265CompressionSession, HdrIsMain10WithPqSignalling) {
    const int width = 256, height = 144;
    X265CompressionSession session(width, height);
    ASSERT_EQ(session.setProperties(captureProperties(width, height, 30, true)),
              CodecStatus::noErr);
    ASSERT_EQ(session.prepareToEncodeFrames(), CodecStatus::noErr);
    ASSERT_TRUE(session.openedParameters());  // every colour field given: opened at once
    auto decoder = HevcDecoder::create();
    for (int n = 0; n < 4; ++n) {
        const PixelBuffer frame = patternFrame(width, height, n, /*hdr=*/true);
        const Output out = encode(session, frame, n);
        ASSERT_TRUE(out.sample);
        const auto pictures = decoder->decode(test::annexB(*out.sample));
        ASSERT_EQ(pictures.size(), 1u);
        EXPECT_EQ(pictures[0].bitDepth, 10);
        EXPECT_EQ(pictures[0].colorPrimaries, 9);
        EXPECT_EQ(pictures[0].transferCharacteristics, 16);
        EXPECT_EQ(pictures[0].matrixCoefficients, 9);
        EXPECT_FALSE(pictures[0].fullRange);
        EXPECT_GT(test::lumaPsnr(frame, pictures[0]), 32.0);
    }
}

TEST(X265CompressionSession, SignalsTheFramesColourWhenThePropertiesLeaveItOpen) {
    X265CompressionSession session(128, 128);
    ASSERT_EQ(session.setProperties(captureProperties(128, 128, 30, false)), CodecStatus::noErr);
    PixelBuffer frame = patternFrame(128, 128, 0);
    frame.color = {ColorPrimaries::bt709, TransferFunction::bt709, YCbCrMatrix::bt709, true};
    const Output out = encode(session, frame, 0);
    ASSERT_TRUE(out.sample);
    auto decoder = HevcDecoder::create();
    const auto pictures = decoder->decode(test::annexB(*out.sample));
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(pictures[0].colorPrimaries, 1);
    EXPECT_EQ(pictures[0].transferCharacteristics, 1);
    EXPECT_EQ(pictures[0].matrixCoefficients, 1);
    EXPECT_TRUE(pictures[0].fullRange);
}

// Pictures that keep changing: the quality target is held to the data-rate limit, which the
// same pictures exceed without it.
TEST(X265CompressionSession, RateOfChangingPicturesStaysWithinTheLimit) {
    const int width = 320, height = 240, fps = 30;
    auto bitsPerSecond = [&](std::int64_t limitBytes) {
        X265CompressionSession session(width, height);
        CompressionProperties properties = captureProperties(width, height, fps, false);
        properties.quality = 1.0;
        properties.averageBitRate = 0;
        properties.dataRateLimitBytes = limitBytes;
        EXPECT_EQ(session.setProperties(properties), CodecStatus::noErr);
        std::size_t bytes = 0;
        for (int n = 0; n < 2 * fps; ++n) {
            const Output out = encode(session, patternFrame(width, height, n * 7), n);
            EXPECT_TRUE(out.sample);
            if (out.sample) bytes += test::annexB(*out.sample).size();
        }
        return static_cast<double>(bytes) * 8 / 2;
    };
    const double limit = 50'000;
    EXPECT_GT(bitsPerSecond(0), 2 * limit);
    EXPECT_LT(bitsPerSecond(static_cast<std::int64_t>(limit / 8)), limit * 1.5);
}

TEST(X265CompressionSession, RefusesFramesOfAnotherSizeAndCallsAfterInvalidate) {
    X265CompressionSession session(128, 96);
    ASSERT_EQ(session.setProperties(captureProperties(128, 96, 30, false)), CodecStatus::noErr);
    int calls = 0;
    auto count = [&](CodecStatus, std::optional<EncodedSample>) { ++calls; };
    EXPECT_EQ(session.encodeFrame(patternFrame(130, 96, 0), {}, {}, {}, count),
              CodecStatus::pixelTransferNotSupported);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(session.encodeFrame(patternFrame(128, 96, 0), {}, {}, {}, count), CodecStatus::noErr);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(session.completeFrames(), CodecStatus::noErr);
    EXPECT_EQ(calls, 1);  // nothing was held back
    session.invalidate();
    EXPECT_EQ(session.encodeFrame(patternFrame(128, 96, 1), {}, {}, {}, count),
              CodecStatus::invalidSession);
    EXPECT_EQ(session.encoderID().status, CodecStatus::invalidSession);
    EXPECT_EQ(calls, 1);
}

TEST(X265VideoCodecService, TiersWithoutHardwareFallToSoftware) {
    X265VideoCodecService service;
    for (EncoderTier tier : {EncoderTier::hwLowLatency, EncoderTier::hwOnly}) {
        auto result =
            service.createCompressionSession(640, 480, EncoderRequirements::forTier(tier));
        EXPECT_EQ(result.status, CodecStatus::couldNotFindVideoEncoder) << description(tier);
        EXPECT_FALSE(result.value);
    }
    for (EncoderTier tier : {EncoderTier::hwPreferred, EncoderTier::software}) {
        auto result =
            service.createCompressionSession(640, 480, EncoderRequirements::forTier(tier));
        ASSERT_TRUE(result.ok()) << description(tier);
        EXPECT_NE(result.value->encoderID().value.find("x265"), std::string::npos);
    }
    EXPECT_EQ(service.createCompressionSession(641, 480, {}).status, CodecStatus::parameterError);

    const auto encoders = service.listEncoders();
    ASSERT_TRUE(encoders.ok());
    ASSERT_EQ(encoders.value.size(), 1u);
    EXPECT_EQ(encoders.value[0].codecType, "hvc1");
    EXPECT_FALSE(encoders.value[0].isHardwareAccelerated);
}

TEST(X265VideoCodecService, HardwareFactoryServesTheHardwareTiers) {
    int asked = 0;
    X265VideoCodecService service([&](int width, int height, const EncoderRequirements&) {
        ++asked;
        return CodecResult<std::unique_ptr<CompressionSession>>{
            std::make_unique<X265CompressionSession>(width, height), CodecStatus::noErr};
    });
    EXPECT_TRUE(service
                    .createCompressionSession(
                        640, 480, EncoderRequirements::forTier(EncoderTier::hwLowLatency))
                    .ok());
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(service.createCompressionSession(640, 480, {}).ok());
    EXPECT_EQ(asked, 1);  // software needs no hardware
    const auto encoders = service.listEncoders();
    ASSERT_EQ(encoders.value.size(), 2u);
    EXPECT_TRUE(encoders.value[0].isHardwareAccelerated);
}

TEST(EncoderRequirements, DescribesWhatItAsksFor) {
    EXPECT_EQ(EncoderRequirements::forTier(EncoderTier::software).description(), "{}");
    EXPECT_EQ(EncoderRequirements::forTier(EncoderTier::hwLowLatency).description(),
              "{RequireHardwareAcceleratedVideoEncoder: true, EnableLowLatencyRateControl: true}");
    EXPECT_STREQ(description(EncoderTier::hwLowLatency), "HW + low-latency RC");
    EXPECT_STREQ(description(EncoderTier::software), "SW fallback");
}

TEST(NalUnits, SplitsOnThreeAndFourByteStartCodes) {
    const Bytes stream{0,    0,    0, 1, 0x40, 0x01, 0xaa, 0,    0,   1,
                       0x42, 0x01, 0, 0, 0,    1,    0x26, 0x01, 0x00};
    const auto units = splitAnnexB(stream);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(hevcNalUnitType(units[0]), HevcNalType::vps);
    EXPECT_EQ(units[0].size(), 3u);
    EXPECT_EQ(hevcNalUnitType(units[1]), HevcNalType::sps);
    EXPECT_EQ(units[1].size(), 2u);
    EXPECT_EQ(hevcNalUnitType(units[2]), HevcNalType::idrWRadl);
    EXPECT_EQ(units[2].size(), 3u);
    EXPECT_TRUE(splitAnnexB(Bytes{1, 2, 3}).empty());
    EXPECT_EQ(hevcNalUnitType(Bytes{0x40}), -1);
}

}  // namespace
}  // namespace vl
