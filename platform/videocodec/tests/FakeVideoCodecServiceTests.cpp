#include "platform/capture/fake/FakeCaptureService.h"
#include "platform/videocodec/NalUnits.h"
#include "platform/videocodec/fake/FakeVideoCodecService.h"
#include "platform/videocodec/tests/AnnexB.h"

#include <gtest/gtest.h>

namespace vl {
namespace {

struct Collected {
    std::vector<CodecStatus> statuses;
    std::vector<std::optional<EncodedSample>> samples;
    EncodeCompletion completion() {
        return [this](CodecStatus status, std::optional<EncodedSample> sample) {
            statuses.push_back(status);
            samples.push_back(std::move(sample));
        };
    }
};

TEST(FakeVideoCodecService, TiersFollowTheHardwareOnOffer) {
    FakeVideoCodecService service;
    const auto lowLatency = EncoderRequirements::forTier(EncoderTier::hwLowLatency);
    const auto hwOnly = EncoderRequirements::forTier(EncoderTier::hwOnly);
    EXPECT_EQ(service.createCompressionSession(64, 64, lowLatency).status,
              CodecStatus::couldNotFindVideoEncoder);
    EXPECT_TRUE(service.createCompressionSession(64, 64, {}).ok());

    service.setHardwareAvailable(true, /*lowLatencyRateControl=*/false);
    EXPECT_FALSE(service.createCompressionSession(64, 64, lowLatency).ok());
    auto session = service.createCompressionSession(64, 64, hwOnly);
    ASSERT_TRUE(session.ok());
    EXPECT_EQ(session.value->encoderID().value, "fake.hevc.hardware");

    service.failCreation(CodecStatus::couldNotCreateInstance);
    EXPECT_EQ(service.createCompressionSession(64, 64, {}).status,
              CodecStatus::couldNotCreateInstance);
    EXPECT_EQ(service.creationAttempts(), 5);
    EXPECT_EQ(service.sessions().size(), 2u);
}

TEST(FakeVideoCodecService, KeyFramesCarryParameterSetsAndTheSampleNamesItsPicture) {
    FakeVideoCodecService service;
    auto session = std::move(service.createCompressionSession(64, 48, {}).value);
    CompressionProperties properties;
    properties.maxKeyFrameInterval = 3;
    ASSERT_EQ(session->setProperties(properties), CodecStatus::noErr);
    PixelBuffer frame = makePixelBuffer(64, 48, PixelFormat::biPlanar420Video8, {});
    Collected out;
    for (int n = 0; n < 5; ++n) {
        ASSERT_EQ(session->encodeFrame(frame, std::chrono::milliseconds(n), {},
                                       FrameOptions{n == 4}, out.completion()),
                  CodecStatus::noErr);
    }
    ASSERT_EQ(out.samples.size(), 5u);
    std::vector<bool> keys;
    for (const auto& sample : out.samples) keys.push_back(sample->isKeyFrame());
    EXPECT_EQ(keys, (std::vector<bool>{true, false, false, true, true}));

    const Bytes key = test::annexB(*out.samples[0]);
    const auto units = splitAnnexB(key);
    ASSERT_EQ(units.size(), 4u);
    EXPECT_EQ(hevcNalUnitType(units[0]), HevcNalType::vps);
    EXPECT_EQ(hevcNalUnitType(units[1]), HevcNalType::sps);
    EXPECT_EQ(hevcNalUnitType(units[2]), HevcNalType::pps);
    const auto picture = parseFakePicture(units[3]);
    ASSERT_TRUE(picture);
    EXPECT_TRUE(picture->idr);
    EXPECT_EQ(picture->width, 64);
    EXPECT_EQ(picture->height, 48);

    const Bytes secondUnit = test::annexB(*out.samples[1]);
    const auto second = splitAnnexB(secondUnit);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(parseFakePicture(second[0])->frameNumber, 1u);
    EXPECT_EQ(service.sessions()[0]->frames[4].forceKeyFrame, true);
}

TEST(FakeVideoCodecService, InjectedFailuresAndInvalidation) {
    FakeVideoCodecService service;
    auto session = std::move(service.createCompressionSession(32, 32, {}).value);
    service.failSetProperties(CodecStatus::propertyNotSupported);
    EXPECT_EQ(session->setProperties({}), CodecStatus::propertyNotSupported);
    PixelBuffer frame = makePixelBuffer(32, 32, PixelFormat::biPlanar420Video8, {});
    Collected out;
    service.failEncodes(CodecStatus::encoderMalfunction, 1);
    EXPECT_EQ(session->encodeFrame(frame, {}, {}, {}, out.completion()), CodecStatus::noErr);
    EXPECT_EQ(session->encodeFrame(frame, {}, {}, {}, out.completion()), CodecStatus::noErr);
    EXPECT_EQ(out.statuses,
              (std::vector<CodecStatus>{CodecStatus::encoderMalfunction, CodecStatus::noErr}));
    EXPECT_FALSE(out.samples[0]);
    EXPECT_TRUE(out.samples[1]);
    PixelBuffer other = makePixelBuffer(34, 32, PixelFormat::biPlanar420Video8, {});
    EXPECT_EQ(session->encodeFrame(other, {}, {}, {}, out.completion()),
              CodecStatus::pixelTransferNotSupported);
    session->invalidate();
    EXPECT_EQ(session->encodeFrame(frame, {}, {}, {}, out.completion()),
              CodecStatus::invalidSession);
    EXPECT_TRUE(service.sessions()[0]->invalidated);
    EXPECT_EQ(out.samples.size(), 2u);
}

}  // namespace
}  // namespace vl
