// The encoder checked against libavcodec's decoder, the independent reference.
#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "aac/tests/CodecTestSupport.h"
#include "aac/tests/TestSignals.h"

namespace vl::aac::test {
namespace {

const EldChannelLayout kAllLayouts[] = {EldChannelLayout::mono, EldChannelLayout::stereo,
                                        EldChannelLayout::fivePointOne,
                                        EldChannelLayout::sevenPointOne};

TEST(AacEldReference, ConfigurationsAreAcceptedWithTheirChannelCounts) {
    EXPECT_EQ(audioSpecificConfig(EldChannelLayout::stereo),
              (std::vector<uint8_t>{0xf8, 0xe6, 0x50, 0x00}));
    for (EldChannelLayout layout : kAllLayouts) {
        std::string why;
        auto decoder = AacEldDecoder::create(audioSpecificConfig(layout), &why);
        ASSERT_TRUE(decoder) << description(layout) << ": " << why;
        EXPECT_EQ(decoder->channelCount(), channelCount(layout)) << description(layout);
        EXPECT_EQ(decoder->sampleRate(), 48000);
    }
}

TEST(AacEldReference, SineDecodesAtItsLevelAfterTheDelay) {
    const double amplitude = std::pow(10.0, -20.0 / 20.0);  // -20 dBFS peak
    const auto in = makeSignal(2, 48000, [&](int, int i) { return sineAt(1000.0, amplitude, i); });
    const RoundTrip rt = roundTrip(EldChannelLayout::stereo, in);
    ASSERT_EQ(rt.decodeFailures, 0);
    EXPECT_EQ(rt.decoderWarnings, 0);
    ASSERT_EQ(rt.output.size(), 2u);
    for (int c = 0; c < 2; ++c) {
        const auto ref = delayedChannel(in, 2, c, rt.output[c].size());
        const std::size_t from = 4800;
        EXPECT_NEAR(goertzelPowerDb(rt.output[c], from, 1000.0), -20.0, 0.5);
        // Off by one sample of delay the SNR of a 1 kHz tone would be about 18 dB.
        EXPECT_GT(snrDb(ref, rt.output[c], from), 40.0);
    }
}

// A reset decoder gives what a new one gives: nothing of the earlier stream's overlap remains.
TEST(AacEldReference, ResetDecoderDecodesLikeANewOne) {
    AacEldEncoder encoder(EldChannelLayout::stereo);
    const auto loud = makeSignal(2, 480 * 4, [](int, int i) { return sineAt(440.0, 0.8, i); });
    const auto quiet = makeSignal(2, 480 * 2, [](int, int i) { return sineAt(3000.0, 0.05, i); });
    std::vector<std::vector<uint8_t>> loudUnits, quietUnits;
    for (std::size_t at = 0; at < loud.size(); at += 960)
        loudUnits.push_back(encoder.encode(&loud[at]));
    for (std::size_t at = 0; at < quiet.size(); at += 960)
        quietUnits.push_back(encoder.encode(&quiet[at]));

    auto fresh = AacEldDecoder::create(encoder.audioSpecificConfig());
    auto reused = AacEldDecoder::create(encoder.audioSpecificConfig());
    ASSERT_TRUE(fresh && reused);
    for (const auto& unit : loudUnits) ASSERT_TRUE(reused->decode(unit.data(), unit.size()));
    auto carried = reused->decode(quietUnits[0].data(), quietUnits[0].size());
    auto clean = fresh->decode(quietUnits[0].data(), quietUnits[0].size());
    ASSERT_TRUE(carried && clean);
    ASSERT_NE(carried->planar, clean->planar);  // the loud tail is still in the reused one

    reused->reset();
    for (const auto& unit : quietUnits) {
        auto again = reused->decode(unit.data(), unit.size());
        auto expected = unit == quietUnits[0] ? clean : fresh->decode(unit.data(), unit.size());
        ASSERT_TRUE(again && expected);
        EXPECT_EQ(again->planar, expected->planar);
    }
}

// A reset encoder codes a stream bit for bit as a new one does: nothing of the earlier stream's
// history, rate loop or reservoir remains.
TEST(AacEldReference, ResetEncoderEncodesLikeANewOne) {
    for (EldChannelLayout layout : {EldChannelLayout::stereo, EldChannelLayout::fivePointOne}) {
        SCOPED_TRACE(description(layout));
        const int n = channelCount(layout);
        const auto first = makeSignal(n, 480 * 5, [](int c, int i) {
            return i % 480 < 10 ? 0.9f : float(sineAt(200.0 + 100 * c, 0.7, i));
        });
        const auto second =
            makeSignal(n, 480 * 4, [](int c, int i) { return sineAt(5000.0 - 300 * c, 0.1, i); });
        const std::size_t frame = 480 * std::size_t(n);
        AacEldEncoder reused(layout, 64000 * n), fresh(layout, 64000 * n);
        for (std::size_t at = 0; at < first.size(); at += frame) reused.encode(&first[at]);
        reused.reset();
        for (std::size_t at = 0; at < second.size(); at += frame) {
            EXPECT_EQ(reused.encode(&second[at]), fresh.encode(&second[at])) << at / frame;
            EXPECT_EQ(reused.lastFrame().reservoir, fresh.lastFrame().reservoir);
            EXPECT_EQ(reused.lastFrame().offset, fresh.lastFrame().offset);
        }
    }
}

// A different tone in every input channel comes out in the output channel of the same speaker.
TEST(AacEldReference, EveryLayoutKeepsItsChannelOrder) {
    const std::map<EldChannelLayout, std::vector<std::string>> expected = {
        {EldChannelLayout::mono, {"FC"}},
        {EldChannelLayout::stereo, {"FL", "FR"}},
        {EldChannelLayout::fivePointOne, {"FL", "FR", "FC", "LFE", "BL", "BR"}},
        {EldChannelLayout::sevenPointOne, {"FL", "FR", "FC", "LFE", "SL", "SR", "BL", "BR"}}};
    for (EldChannelLayout layout : kAllLayouts) {
        SCOPED_TRACE(description(layout));
        const int n = channelCount(layout);
        const auto& names = expected.at(layout);
        auto toneOf = [&](int c) { return names[c] == "LFE" ? 70.0 : 700.0 + 450.0 * c; };
        const auto in =
            makeSignal(n, 24000, [&](int c, int i) { return sineAt(toneOf(c), 0.2, i); });
        const RoundTrip rt = roundTrip(layout, in);
        ASSERT_EQ(rt.decodeFailures, 0);
        EXPECT_EQ(rt.decoderWarnings, 0);
        EXPECT_EQ(rt.overBudget, 0);
        ASSERT_EQ(int(rt.output.size()), n);
        for (int c = 0; c < n; ++c) {
            const auto at = std::find(rt.names.begin(), rt.names.end(), names[c]);
            ASSERT_NE(at, rt.names.end()) << names[c];
            const auto& out = rt.output[at - rt.names.begin()];
            EXPECT_NEAR(goertzelPowerDb(out, 4800, toneOf(c)), 20 * std::log10(0.2), 0.5)
                << names[c];
            for (int other = 0; other < n; ++other) {
                if (other == c || toneOf(other) == toneOf(c)) continue;
                EXPECT_LT(goertzelPowerDb(out, 4800, toneOf(other)), -60.0)
                    << names[c] << " carries input channel " << other;
            }
        }
    }
}

TEST(AacEldReference, SilenceMakesTinyUnits) {
    for (EldChannelLayout layout : kAllLayouts) {
        const std::vector<float> in(std::size_t(channelCount(layout)) * 9600, 0.0f);
        const RoundTrip rt = roundTrip(layout, in);
        EXPECT_EQ(rt.decodeFailures, 0);
        EXPECT_LE(rt.maxUnitBytes, 2 * channelCount(layout)) << description(layout);
        for (const auto& ch : rt.output)
            for (float v : ch) ASSERT_EQ(v, 0.0f);
    }
}

TEST(AacEldReference, NonFiniteAndOutOfRangeSamplesAreClipped) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float pattern[] = {nan, inf, -inf, 7.0f, -1e30f, 1.0f, -1.0f, 0.5f};
    const auto in = makeSignal(2, 9600, [&](int c, int i) { return pattern[(i / 3 + c) % 8]; });
    const RoundTrip rt = roundTrip(EldChannelLayout::stereo, in);
    EXPECT_EQ(rt.decodeFailures, 0);
    EXPECT_EQ(rt.overBudget, 0);
    // The clipped input has an RMS of at most 1; a decoder fed garbage would be far louder.
    for (const auto& ch : rt.output) {
        for (float v : ch) ASSERT_TRUE(std::isfinite(v));
        EXPECT_LT(rmsDb(ch, 0), 3.0);
        EXPECT_GT(rmsDb(ch, 4800), -10.0);
    }
}

TEST(AacEldReference, SettableBitRateMeetsItsBudget) {
    const TestItem item = pinkNoise(1.0);
    for (int rate : {48000, 96000, 256000}) {
        const RoundTrip rt = roundTrip(EldChannelLayout::stereo, item.samples, rate);
        EXPECT_EQ(rt.budget, rate / 100);
        EXPECT_EQ(rt.decodeFailures, 0);
        EXPECT_EQ(rt.overBudget, 0) << rate;
        EXPECT_LE(rt.maxBits, rt.maxBudget);
        EXPECT_LE(rt.maxBudget, 2 * rt.budget);
        EXPECT_LE(rt.maxOverdraft, rt.budget) << "the reservoir holds one frame's budget";
        EXPECT_GT(rt.meanBytes * 8, 0.8 * rt.budget) << "noise should use most of " << rate;
    }
}

// 6144 bits per channel and frame is the format's ceiling; 7.1 at that rate still has a budget.
TEST(AacEldReference, RatesAreClampedToTheFormatLimits) {
    for (EldChannelLayout layout : kAllLayouts) {
        const int n = channelCount(layout);
        AacEldEncoder high(layout, std::numeric_limits<int>::max());
        EXPECT_EQ(high.bitRate(), 614400 * n) << description(layout);
        EXPECT_EQ(high.bitsPerFrame(), 6144 * n) << description(layout);
        AacEldEncoder low(layout, 1);
        EXPECT_EQ(low.bitRate(), 8000 * n) << description(layout);
    }
}

// A transient after quiet frames takes what they saved, never more than one average frame; at
// the format's ceiling there is nothing to borrow.
TEST(AacEldReference, TransientsBorrowFromTheBitReservoir) {
    const TestItem item = clicks(1.0);
    const RoundTrip rt = roundTrip(EldChannelLayout::stereo, item.samples);
    EXPECT_EQ(rt.overBudget, 0);
    EXPECT_GT(rt.maxBits, rt.budget) << "a click frame should spend saved bits";
    EXPECT_LE(rt.maxBudget, 2 * rt.budget);
    EXPECT_LE(rt.maxOverdraft, rt.budget);

    const RoundTrip ceiling =
        roundTrip(EldChannelLayout::stereo, item.samples, std::numeric_limits<int>::max());
    EXPECT_EQ(ceiling.maxBudget, 2 * 6144);
    EXPECT_EQ(ceiling.overBudget, 0);
    EXPECT_EQ(ceiling.decodeFailures, 0);
}

// The quality table of the closing note: SNR and bandwidth per item at the default rate.
TEST(AacEldReference, TestItemsAtTheDefaultRate) {
    std::vector<TestItem> items = {multiTone(), pinkNoise(), chirp(), clicks(), castanets()};
    const auto dir = std::filesystem::temp_directory_path() / "vl-aac-speech";
    std::filesystem::create_directories(dir);
    auto spoken = speech(dir);
    EXPECT_TRUE(spoken) << "the speech item needs espeak-ng and ffmpeg (scripts/setup)";
    if (spoken) items.push_back(std::move(*spoken));
    std::filesystem::remove_all(dir);

    std::printf("%-22s %8s %10s %8s %6s\n", "item", "SNR dB", "bandw. Hz", "kbit/s", "TNS");
    for (const TestItem& item : items) {
        SCOPED_TRACE(item.name);
        const RoundTrip rt = roundTrip(EldChannelLayout::stereo, item.samples);
        ASSERT_EQ(rt.decodeFailures, 0);
        EXPECT_EQ(rt.decoderWarnings, 0);
        EXPECT_EQ(rt.overBudget, 0);
        EXPECT_LE(rt.maxBits, rt.maxBudget);
        EXPECT_LE(rt.maxOverdraft, rt.budget);
        double snr = 0, bandwidth = 1e9;
        for (int c = 0; c < 2; ++c) {
            const auto ref = delayedChannel(item.samples, 2, c, rt.output[c].size());
            snr += 0.5 * snrDb(ref, rt.output[c], 4800);
            bandwidth = std::min(bandwidth, bandwidthHz(ref, rt.output[c], 4800));
        }
        std::printf("%-22s %8.1f %10.0f %8.1f %6d\n", item.name.c_str(), snr, bandwidth,
                    rt.meanBytes * 8 * 100 / 1000, rt.tnsFrames);
        // Floors a few dB under what the encoder reaches today: catches regressions only.
        EXPECT_GT(snr, item.snrFloorDb);
        if (item.broadband) {
            EXPECT_GE(bandwidth, 15000.0);
        }
    }
}

}  // namespace
}  // namespace vl::aac::test
