// The capture-side encoder wrapper: chunking, channel mismatch, layouts as the reference decoder
// hears them, and the layout offered per display resolution.
#include <gtest/gtest.h>

#include <limits>
#include <map>

#include "Capture/ZuAudioEncoder.h"
#include "Capture/tests/ZuAudioTestSupport.h"
#include "aac/AacEldDecoder.h"

namespace vl {
namespace {

using test::ReportCapture;
using test::toneLevelDb;
using test::tones;

// Decodes every packet with libavcodec; output per channel name.
std::map<std::string, std::vector<float>> decodeAll(const ZuAudioEncoder& encoder,
                                                    const std::vector<Bytes>& packets) {
    std::map<std::string, std::vector<float>> out;
    auto decoder = aac::AacEldDecoder::create(encoder.audioSpecificConfig());
    EXPECT_TRUE(decoder);
    if (!decoder) return out;
    const auto names = decoder->channelNames();
    EXPECT_EQ(names.size(), encoder.codedChannelCount());
    for (const Bytes& packet : packets) {
        auto audio = decoder->decode(packet.data(), packet.size());
        EXPECT_TRUE(audio) << aac::description(decoder->lastError());
        if (!audio) continue;
        EXPECT_EQ(audio->frames, 480);
        for (int c = 0; c < audio->channels; ++c)
            out[names[c]].insert(out[names[c]].end(), audio->channel(c), audio->channel(c) + 480);
    }
    return out;
}

std::vector<Bytes> encodeInPieces(ZuAudioEncoder& encoder, const std::vector<float>& samples,
                                  const std::vector<int>& pieceFrames) {
    const std::uint32_t c = channelCount(encoder.channels());
    std::vector<Bytes> packets;
    std::size_t at = 0;
    for (std::size_t n = 0; at < samples.size(); ++n) {
        const std::size_t take =
            std::min(samples.size() - at, std::size_t(pieceFrames[n % pieceFrames.size()]) * c);
        auto out = encoder.encode(ZuAudioBuffer::makeInterleaved(
            c, std::vector<float>(samples.begin() + at, samples.begin() + at + take)));
        packets.insert(packets.end(), out.begin(), out.end());
        at += take;
    }
    return packets;
}

TEST(ZuAudioEncoder, TwoTapPollsMakeOnePacketAndKeepTheRestPending) {
    auto encoder = ZuAudioEncoder::create(ZuChannels::stereo);
    ASSERT_TRUE(encoder);
    EXPECT_EQ(encoder->bitRate(), 144000);
    EXPECT_TRUE(encoder->encode(ZuAudioBuffer::makeInterleaved(2, tones(2, 384))).empty());
    EXPECT_EQ(encoder->pendingFrames(), 384u);
    const auto packets = encoder->encode(ZuAudioBuffer::makeInterleaved(2, tones(2, 384, 384)));
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(encoder->pendingFrames(), 288u);
    EXPECT_FALSE(packets[0].empty());
    EXPECT_LE(packets[0].size() * 8, 1440u + 7u);  // 144 kbit/s in 10 ms
    EXPECT_EQ(decodeAll(*encoder, packets).size(), 2u);
}

// However the tap slices the stream, the packets are the same.
TEST(ZuAudioEncoder, PacketsDoNotDependOnHowInputIsSliced) {
    const auto signal = tones(6, 48000 / 4);
    auto whole = ZuAudioEncoder::create(ZuChannels::fivePointOne);
    auto sliced = ZuAudioEncoder::create(ZuChannels::fivePointOne);
    auto planar = ZuAudioEncoder::create(ZuChannels::fivePointOne);
    ASSERT_TRUE(whole && sliced && planar);
    const auto expected = encodeInPieces(*whole, signal, {48000});
    ASSERT_EQ(expected.size(), 25u);
    EXPECT_EQ(encodeInPieces(*sliced, signal, {384, 1, 1000, 95, 479, 481}), expected);

    // The same frames handed over one plane per channel.
    ZuAudioBuffer buffer;
    buffer.channelCount = 6;
    buffer.frameLength = 48000 / 4;
    buffer.interleaved = false;
    buffer.samples.resize(signal.size());
    for (std::uint32_t i = 0; i < buffer.frameLength; ++i)
        for (int c = 0; c < 6; ++c) buffer.samples[c * buffer.frameLength + i] = signal[i * 6 + c];
    EXPECT_EQ(planar->encode(buffer), expected);
}

TEST(ZuAudioEncoder, BufferOfAnotherChannelCountIsDroppedWithTheReport) {
    ReportCapture reports;
    auto encoder = ZuAudioEncoder::create(ZuChannels::fivePointOne);
    ASSERT_TRUE(encoder);
    EXPECT_TRUE(encoder->encode(ZuAudioBuffer::makeInterleaved(6, tones(6, 100))).empty());
    EXPECT_TRUE(encoder->encode(ZuAudioBuffer::makeInterleaved(2, tones(2, 960))).empty());
    EXPECT_EQ(encoder->pendingFrames(), 100u);
    EXPECT_EQ(reports.count("🔇 ZuAudioEncoder: dropping buffer — 2ch buffer vs 6ch encoder "
                            "(device not settled)"),
              1);
}

TEST(ZuAudioEncoder, FrameLengthBeyondTheSamplesIsNotTrusted) {
    auto encoder = ZuAudioEncoder::create(ZuChannels::stereo);
    ASSERT_TRUE(encoder);
    ZuAudioBuffer buffer = ZuAudioBuffer::makeInterleaved(2, tones(2, 500));
    buffer.frameLength = 1'000'000;
    EXPECT_EQ(encoder->encode(buffer).size(), 1u);
    EXPECT_EQ(encoder->pendingFrames(), 20u);
    buffer.samples.clear();
    EXPECT_TRUE(encoder->encode(buffer).empty());
    EXPECT_EQ(encoder->pendingFrames(), 20u);
}

// A tone in each input channel comes out of the speaker it was meant for; 2.1 travels as 5.1
// with silent centre and surrounds, 7.1.4 as 7.1 with its heights folded in at -3 dB.
TEST(ZuAudioEncoder, EveryLayoutReachesTheMatchingSpeakers) {
    struct Route {
        std::string speaker;
        double gainDb;
    };
    const std::vector<std::string> bed51 = {"FL", "FR", "FC", "LFE", "BL", "BR"};
    const std::vector<std::string> bed71 = {"FL", "FR", "FC", "LFE", "SL", "SR", "BL", "BR"};
    auto direct = [](const std::vector<std::string>& names) {
        std::vector<Route> r;
        for (const auto& n : names) r.push_back({n, 0.0});
        return r;
    };
    std::vector<Route> atmos = direct(bed71);
    for (const char* n : {"FL", "FR", "BL", "BR"}) atmos.push_back({n, -3.0});
    const std::map<ZuChannels, std::vector<Route>> routes = {
        {ZuChannels::stereo, direct({"FL", "FR"})},
        {ZuChannels::twoPointOne, direct({"FL", "FR", "LFE"})},
        {ZuChannels::fivePointOne, direct(bed51)},
        {ZuChannels::sevenPointOne, direct(bed71)},
        {ZuChannels::atmos, atmos}};

    // 1.5 bits per sample for each full-band channel that is coded.
    const std::map<ZuChannels, int> defaultRates = {{ZuChannels::stereo, 144000},
                                                    {ZuChannels::twoPointOne, 144000},
                                                    {ZuChannels::fivePointOne, 360000},
                                                    {ZuChannels::sevenPointOne, 504000},
                                                    {ZuChannels::atmos, 504000}};
    for (const auto& [layout, route] : routes) {
        SCOPED_TRACE(description(layout));
        const int n = int(channelCount(layout));
        auto freq = [&speakers = route](int c) {
            return speakers[c].speaker == "LFE" ? 70.0 : test::toneHz(c);
        };
        std::vector<float> signal(std::size_t(n) * 24000);
        for (int i = 0; i < 24000; ++i)
            for (int c = 0; c < n; ++c)
                signal[std::size_t(i) * n + c] =
                    float(0.2 * std::sin(2 * std::numbers::pi * freq(c) * i / 48000.0));
        auto encoder = ZuAudioEncoder::create(layout);
        ASSERT_TRUE(encoder);
        EXPECT_EQ(encoder->bitRate(), defaultRates.at(layout));
        const auto packets = encodeInPieces(*encoder, signal, {384});
        ASSERT_EQ(packets.size(), 50u);
        const auto out = decodeAll(*encoder, packets);
        for (int c = 0; c < n; ++c) {
            for (const auto& [speaker, samples] : out) {
                const double level = toneLevelDb(samples, 4800, freq(c));
                if (speaker == route[c].speaker)
                    EXPECT_NEAR(level, 20 * std::log10(0.2) + route[c].gainDb, 0.5)
                        << "input " << c << " in " << speaker;
                else
                    EXPECT_LT(level, -50.0) << "input " << c << " leaks into " << speaker;
            }
        }
    }
}

TEST(ZuAudioEncoder, NonFiniteSamplesInFoldedChannelsStillDecode) {
    const float bad[] = {std::numeric_limits<float>::quiet_NaN(),
                         std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(), 1e30f};
    auto signal = tones(12, 4800);
    for (std::size_t i = 0; i < signal.size(); i += 5) signal[i] = bad[(i / 5) % 4];
    auto encoder = ZuAudioEncoder::create(ZuChannels::atmos);
    ASSERT_TRUE(encoder);
    const auto packets = encodeInPieces(*encoder, signal, {384});
    ASSERT_EQ(packets.size(), 10u);
    for (const auto& [speaker, samples] : decodeAll(*encoder, packets)) {
        ASSERT_EQ(samples.size(), 4800u) << speaker;
        for (float v : samples) ASSERT_TRUE(std::isfinite(v) && std::fabs(v) < 4.0f) << speaker;
    }
}

TEST(ZuChannels, RawValuesAreExactlyTheFiveCounts) {
    std::vector<std::uint32_t> accepted;
    for (std::uint32_t n = 0; n <= 16; ++n)
        if (auto layout = zuChannelsFromRawValue(n)) {
            EXPECT_EQ(channelCount(*layout), n);
            accepted.push_back(n);
        }
    EXPECT_EQ(accepted, (std::vector<std::uint32_t>{2, 3, 6, 8, 12}));
    EXPECT_FALSE(zuChannelsFromRawValue(0xffffffffu));
    EXPECT_STREQ(description(ZuChannels::sevenPointOne), "sevenPointOne");
}

TEST(ZuChannels, ResolutionDecidesTheOfferedLayout) {
    using R = Resolution;
    for (R r : {R::RES_XSS, R::RES_XS, R::RES_S1})
        EXPECT_EQ(resolutionOfSupportedAudioChannels(r), ZuChannels::stereo);
    for (R r : {R::RES_S, R::RES_S2})
        EXPECT_EQ(resolutionOfSupportedAudioChannels(r), ZuChannels::fivePointOne);
    for (R r : {R::RES_M, R::RES_L, R::RES_XL, R::RES_XXL, R::RES_S3})
        EXPECT_EQ(resolutionOfSupportedAudioChannels(r), ZuChannels::sevenPointOne);
}

}  // namespace
}  // namespace vl
