// The microphone decoder wrapper: lifecycle, delivery of deinterleaved stereo, counters and the
// report cadence, and units it cannot decode.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "Capture/ZuAudioDecoder.h"
#include "Capture/ZuAudioEncoder.h"
#include "Capture/tests/ZuAudioTestSupport.h"

extern "C" {
#include <libavutil/log.h>
}

namespace vl {
namespace {

using test::ReportCapture;

// Counts the codec library's messages at warning level or worse while alive.
class CodecMessages {
  public:
    CodecMessages() {
        count() = 0;
        av_log_set_callback([](void*, int level, const char*, va_list) {
            if (level <= AV_LOG_WARNING) ++count();
        });
    }
    ~CodecMessages() { av_log_set_callback(av_log_default_callback); }
    int seen() const { return count(); }

  private:
    static std::atomic<int>& count() {
        static std::atomic<int> n{0};
        return n;
    }
};

// `count` packets of a stereo stream: toneHz(0) on the left, toneHz(1) on the right.
std::vector<Bytes> stereoPackets(int count, ZuChannels layout = ZuChannels::stereo) {
    auto encoder = ZuAudioEncoder::create(layout);
    const int n = int(channelCount(layout));
    auto packets = encoder->encode(ZuAudioBuffer::makeInterleaved(n, test::tones(n, count * 480)));
    EXPECT_EQ(int(packets.size()), count);
    return packets;
}

class ZuAudioDecoderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        decoder.onPCMDecoded = [this](const ZuAudioBuffer& buffer) { delivered.push_back(buffer); };
    }
    ReportCapture reports;
    ZuAudioDecoder decoder;
    std::vector<ZuAudioBuffer> delivered;
};

TEST_F(ZuAudioDecoderTest, DeliversDeinterleavedStereoAndReportsAtItsCadence) {
    decoder.start();
    ASSERT_TRUE(decoder.isRunning());
    const auto packets = stereoPackets(100);
    for (const Bytes& p : packets) decoder.handleAudioPacket(p);

    EXPECT_EQ(decoder.decodedCount(), 100);
    EXPECT_EQ(decoder.scheduledCount(), 100);
    EXPECT_EQ(decoder.decodeFailures(), 0);
    ASSERT_EQ(delivered.size(), 100u);
    std::vector<float> left, right;
    for (const ZuAudioBuffer& b : delivered) {
        ASSERT_EQ(b.channelCount, 2u);
        ASSERT_EQ(b.frameLength, 480u);
        ASSERT_FALSE(b.interleaved);
        left.insert(left.end(), b.channelData(0), b.channelData(0) + 480);
        right.insert(right.end(), b.channelData(1), b.channelData(1) + 480);
    }
    EXPECT_NEAR(test::toneLevelDb(left, 4800, test::toneHz(0)), 20 * std::log10(0.2), 0.5);
    EXPECT_LT(test::toneLevelDb(left, 4800, test::toneHz(1)), -50.0);
    EXPECT_NEAR(test::toneLevelDb(right, 4800, test::toneHz(1)), 20 * std::log10(0.2), 0.5);
    EXPECT_LT(test::toneLevelDb(right, 4800, test::toneHz(0)), -50.0);

    EXPECT_EQ(reports.count("✅ ZuAudioDecoder started (2ch, stereo)"), 1);
    EXPECT_EQ(reports.count("✅ ZuAudioRender: FIRST packet decoded → 480 frames, 2ch"), 1);
    // The 100th packet: 99 delivered before it, peak of the 0.2 tones.
    EXPECT_EQ(reports.count("🔊 ZuAudioDecoder: decoded 100, delivered 99, failures 0, peak=0.2"),
              1);
    EXPECT_EQ(reports.count("🔊 ZuAudioDecoder: decoded"), 1);
}

TEST_F(ZuAudioDecoderTest, PacketsOutsideStartAndStopAndEmptyPayloadsAreDropped) {
    const auto packets = stereoPackets(3);
    decoder.handleAudioPacket(packets[0]);
    EXPECT_FALSE(decoder.decode(packets[0]));
    decoder.start();
    decoder.start();
    EXPECT_EQ(reports.count("✅ ZuAudioDecoder started"), 1);
    decoder.handleAudioPacket(Bytes{});
    decoder.handleAudioPacket(packets[1]);
    decoder.stop();
    decoder.handleAudioPacket(packets[2]);
    EXPECT_EQ(delivered.size(), 1u);
    EXPECT_EQ(decoder.decodedCount(), 1);
    EXPECT_EQ(decoder.decodeFailures(), 0);
    decoder.stop();
    EXPECT_FALSE(decoder.isRunning());
}

// Random, truncated, oversized and wrong-layout units are counted and reported at the 1st and
// every 100th failure; the stream decodes again afterwards.
TEST_F(ZuAudioDecoderTest, UndecodableUnitsAreCountedAndReportedAtTheCadence) {
    decoder.start();
    const auto good = stereoPackets(4);
    const auto surround = stereoPackets(2, ZuChannels::fivePointOne);
    std::mt19937 rng(7);
    std::vector<Bytes> bad;
    bad.push_back(Bytes(good[1].begin(), good[1].begin() + 3));  // truncated
    bad.push_back(Bytes(4096, 0xff));                            // larger than two channels allow
    bad.push_back(surround[1]);
    while (bad.size() < 100) {
        Bytes junk(1 + rng() % 600);
        for (auto& b : junk) b = std::uint8_t(rng());
        bad.push_back(std::move(junk));
    }
    decoder.handleAudioPacket(good[0]);
    CodecMessages codecMessages;
    int failures = 0;
    for (const Bytes& b : bad) {
        const auto before = decoder.decodeFailures();
        decoder.handleAudioPacket(b);
        failures += int(decoder.decodeFailures() - before);
    }
    // Random bytes may happen to form a valid unit; everything else must be refused.
    EXPECT_GE(failures, 3);
    // Reported here at a cadence, not by the codec once per unit.
    EXPECT_EQ(codecMessages.seen(), 0);
    EXPECT_EQ(decoder.decodedCount() + decoder.decodeFailures(), 101);
    for (const ZuAudioBuffer& b : delivered) {
        ASSERT_EQ(b.samples.size(), 960u);
        for (float v : b.samples) ASSERT_TRUE(std::isfinite(v));
    }
    EXPECT_EQ(reports.count("❌ ZuAudioRender: decode returned nil (1 failures so far)"), 1);
    EXPECT_EQ(reports.count("❌ ZuAudioDecoder: decode status="), 1);
    EXPECT_EQ(reports.count("— expected 2ch (stereo); possible client/server tier mismatch"), 1);

    const auto decodedBefore = decoder.decodedCount();
    decoder.handleAudioPacket(good[2]);
    decoder.handleAudioPacket(good[3]);
    EXPECT_EQ(decoder.decodedCount(), decodedBefore + 2);
}

TEST_F(ZuAudioDecoderTest, HundredthFailureIsReported) {
    decoder.start();
    for (int i = 0; i < 200; ++i) decoder.handleAudioPacket(Bytes(2000, 0xff));
    EXPECT_EQ(decoder.decodeFailures(), 200);
    EXPECT_EQ(reports.count("❌ ZuAudioRender: decode returned nil ("), 3);
    EXPECT_EQ(reports.count("(100 failures so far)"), 1);
    EXPECT_EQ(reports.count("(200 failures so far)"), 1);
    // The status line comes before the count moves: at 0, 100 failures.
    EXPECT_EQ(reports.count("❌ ZuAudioDecoder: decode status="), 2);
}

// The server stops the decoder from its own queue while packets still arrive on the connection's.
TEST_F(ZuAudioDecoderTest, StopWhilePacketsArriveIsSafe) {
    decoder.onPCMDecoded = nullptr;
    const auto packets = stereoPackets(20);
    decoder.start();
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        while (!done)
            for (const Bytes& p : packets) decoder.handleAudioPacket(p);
    });
    for (int cycle = 0; cycle < 50; ++cycle) {
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        decoder.stop();
        decoder.start();
    }
    done = true;
    feeder.join();
    const auto decoded = decoder.decodedCount();
    EXPECT_EQ(decoded, decoder.scheduledCount());
    decoder.handleAudioPacket(packets[0]);
    EXPECT_EQ(decoder.decodedCount(), decoded + 1);
}

}  // namespace
}  // namespace vl
