#include "Capture/AnnexB.h"
#include "Capture/VNSCaptureConfig.h"

#include <gtest/gtest.h>

using namespace vl;

namespace {

const Bytes vps = {0x40, 0x01, 0x0c};
const Bytes sps = {0x42, 0x01, 0x01, 0x60};
const Bytes pps = {0x44, 0x01, 0xc1};

}  // namespace

TEST(AnnexB, KeyFrameCarriesTheParameterSetsThenEveryUnitBehindAStartCode) {
    const Bytes units = {0, 0, 0, 3, 0x26, 0x01, 0xaf, 0, 0, 0, 2, 0x26, 0x01};
    const Bytes empty;
    Bytes out = assembleAnnexB(units, 4, {vps, empty, sps, pps});
    const Bytes expected = {0,    0,    0,    1,    0x40, 0x01, 0x0c, 0,    0,    0,    1,   0x42,
                            0x01, 0x01, 0x60, 0,    0,    0,    1,    0x44, 0x01, 0xc1, 0,   0,
                            0,    1,    0x26, 0x01, 0xaf, 0,    0,    0,    1,    0x26, 0x01};
    EXPECT_EQ(out, expected);
}

TEST(AnnexB, NonKeyFrameStartsDirectlyWithAStartCodeAndPictureData) {
    const Bytes units = {0, 0, 0, 2, 0x02, 0x01};
    EXPECT_EQ(assembleAnnexB(units, 4, {}), (Bytes{0, 0, 0, 1, 0x02, 0x01}));
}

TEST(AnnexB, ShortLengthFieldsAreRewrittenToo) {
    EXPECT_EQ(assembleAnnexB(Bytes{2, 0x02, 0x01, 1, 0x09}, 1, {}),
              (Bytes{0, 0, 0, 1, 0x02, 0x01, 0, 0, 0, 1, 0x09}));
    EXPECT_EQ(assembleAnnexB(Bytes{0, 2, 0x02, 0x01}, 2, {}), (Bytes{0, 0, 0, 1, 0x02, 0x01}));
    // Other sizes read that many bytes, at most four.
    EXPECT_EQ(assembleAnnexB(Bytes{0, 0, 1, 0x09}, 3, {}), (Bytes{0, 0, 0, 1, 0x09}));
    EXPECT_EQ(assembleAnnexB(Bytes{0, 0, 0, 1, 0x09}, 8, {}), (Bytes{0, 0, 0, 1, 0x09}));
}

TEST(AnnexB, TheWalkStopsAtAZeroLengthOrAnOverrunAndKeepsWhatCameBefore) {
    const Bytes good = {0, 0, 0, 1, 0x09};
    Bytes zero = good;
    zero.insert(zero.end(), {0, 0, 0, 0, 0, 0, 0, 1, 0x0a});
    EXPECT_EQ(assembleAnnexB(zero, 4, {}), (Bytes{0, 0, 0, 1, 0x09}));

    Bytes overrun = good;
    overrun.insert(overrun.end(), {0, 0, 0, 9, 0x26});
    EXPECT_EQ(assembleAnnexB(overrun, 4, {}), (Bytes{0, 0, 0, 1, 0x09}));

    Bytes truncatedField = good;
    truncatedField.insert(truncatedField.end(), {0, 0});
    EXPECT_EQ(assembleAnnexB(truncatedField, 4, {}), (Bytes{0, 0, 0, 1, 0x09}));

    // A length that would wrap an offset computation is an overrun, not a read past the end.
    EXPECT_TRUE(assembleAnnexB(Bytes{0xff, 0xff, 0xff, 0xff, 0x26}, 4, {}).empty());
    EXPECT_EQ(assembleAnnexB(Bytes{0xff, 0xff, 0xff, 0xff}, 4, {vps}),
              (Bytes{0, 0, 0, 1, 0x40, 0x01, 0x0c}));
}

TEST(VNSCaptureConfig, AutomaticBitRatesScaleWithTheFrameAndTheDynamicRange) {
    VNSCaptureConfig sdr;
    EXPECT_DOUBLE_EQ(sdr.averageBitrateMbps(3840, 2160), 60.0);
    EXPECT_DOUBLE_EQ(sdr.effectiveMaxBitrateMbps(3840, 2160), 90.0);
    EXPECT_DOUBLE_EQ(sdr.averageBitrateMbps(1920, 1080), 15.0);

    VNSCaptureConfig hdr;
    hdr.hdrEnabled = true;
    EXPECT_DOUBLE_EQ(hdr.averageBitrateMbps(3840, 2160), 75.0);
    EXPECT_DOUBLE_EQ(hdr.effectiveMaxBitrateMbps(3840, 2160), 112.5);

    VNSCaptureConfig fixed;
    fixed.bitrateMbps = 20;
    EXPECT_DOUBLE_EQ(fixed.averageBitrateMbps(3840, 2160), 20.0);
    EXPECT_DOUBLE_EQ(fixed.effectiveMaxBitrateMbps(3840, 2160), 30.0);
    fixed.maxBitrateMbps = 25;
    EXPECT_DOUBLE_EQ(fixed.effectiveMaxBitrateMbps(3840, 2160), 25.0);
}

TEST(VNSCaptureConfig, KeyFrameIntervalCountsWholeSecondsOfFrames) {
    VNSCaptureConfig config;
    config.fps = 60;
    config.keyFrameIntervalSeconds = 2.0;
    EXPECT_EQ(config.maxKeyFrameIntervalFrames(), 120);
    config.keyFrameIntervalSeconds = 2.9;
    EXPECT_EQ(config.maxKeyFrameIntervalFrames(), 120);
    config.fps = 0;
    EXPECT_EQ(config.effectiveFps(), 1);
}
