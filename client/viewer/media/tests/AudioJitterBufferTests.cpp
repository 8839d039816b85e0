// The jitter buffer as the audio device sees it: silence until primed, real audio in order, an
// underrun played as silence and primed again higher, bursts kept while standing latency and
// overflow go from the oldest end, gain applied; and the channel fold into the device's order.
#include "client/viewer/media/AudioJitterBuffer.h"
#include "client/viewer/media/ChannelFold.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace vl {
namespace {

// Mono frames numbered from `first`, so every pulled sample says where it came from.
std::vector<float> ramp(float first, std::size_t frames) {
    std::vector<float> samples(frames);
    std::iota(samples.begin(), samples.end(), first);
    return samples;
}

std::vector<float> pull(AudioJitterBuffer& buffer, std::size_t frames) {
    std::vector<float> out(frames * std::size_t(buffer.channels()), -999.0f);
    buffer.pull(out.data(), frames);
    return out;
}

bool silent(const std::vector<float>& samples) {
    for (float s : samples)
        if (s != 0.0f) return false;
    return true;
}

// Primes at 30 frames, raised in steps of 10 up to 50; windows of 100 pulled frames; ceiling 200.
AudioJitterBuffer mono() {
    return AudioJitterBuffer({.channels = 1,
                              .minPrimeFrames = 30,
                              .maxPrimeFrames = 50,
                              .stepFrames = 10,
                              .windowFrames = 100,
                              .ceilingFrames = 200});
}

TEST(AudioJitterBuffer, PlaysSilenceUntilPrimedThenEverythingInOrder) {
    auto buffer = mono();
    buffer.push(ramp(1, 20).data(), 20);
    EXPECT_TRUE(silent(pull(buffer, 10)));  // 20 of 30 queued: still priming
    EXPECT_EQ(buffer.counters().underruns, 0u) << "priming is not an underrun";
    EXPECT_EQ(buffer.counters().queuedFrames, 20u) << "priming keeps what is queued";

    buffer.push(ramp(21, 20).data(), 20);
    EXPECT_EQ(pull(buffer, 25), ramp(1, 25));
    EXPECT_EQ(pull(buffer, 15), ramp(26, 15));
    const auto counters = buffer.counters();
    EXPECT_EQ(counters.playedFrames, 40u);
    EXPECT_EQ(counters.pushedFrames, 40u);
    EXPECT_TRUE(counters.playing);
}

TEST(AudioJitterBuffer, UnderrunPlaysTheRestThenSilenceAndPrimesAgainOneStepHigher) {
    auto buffer = mono();
    buffer.push(ramp(1, 40).data(), 40);
    EXPECT_EQ(pull(buffer, 30), ramp(1, 30));

    // 10 left for a pull of 16: the 10, then silence.
    auto out = pull(buffer, 16);
    EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 10), ramp(31, 10));
    EXPECT_TRUE(silent({out.begin() + 10, out.end()}));
    EXPECT_EQ(buffer.counters().underruns, 1u);
    EXPECT_FALSE(buffer.counters().playing);
    EXPECT_EQ(buffer.counters().primeFrames, 40u);

    // The old priming level no longer restarts playback...
    buffer.push(ramp(41, 30).data(), 30);
    EXPECT_TRUE(silent(pull(buffer, 10)));
    EXPECT_EQ(buffer.counters().underruns, 1u) << "silence while priming is not counted again";
    // ...the raised one does, without losing a frame.
    buffer.push(ramp(71, 10).data(), 10);
    EXPECT_EQ(pull(buffer, 40), ramp(41, 40));

    // Every underrun raises it, up to its ceiling.
    for (int i = 0; i < 5; ++i) {
        buffer.push(ramp(0, 60).data(), 60);
        pull(buffer, 70);
    }
    EXPECT_EQ(buffer.counters().underruns, 6u);
    EXPECT_EQ(buffer.counters().primeFrames, 50u);
}

TEST(AudioJitterBuffer, BurstsThatDrainWithinAWindowAreKept) {
    auto buffer = mono();
    // A stalled device then a catching-up one: 30 queued, 60 more arrive, then 90 are pulled.
    buffer.push(ramp(1, 30).data(), 30);
    EXPECT_EQ(pull(buffer, 10), ramp(1, 10));
    buffer.push(ramp(31, 70).data(), 70);
    EXPECT_EQ(pull(buffer, 85), ramp(11, 85));
    EXPECT_EQ(pull(buffer, 5), ramp(96, 5)) << "the window ends here";
    const auto counters = buffer.counters();
    EXPECT_EQ(counters.droppedFrames, 0u);
    EXPECT_EQ(counters.trims, 0u);
    EXPECT_EQ(counters.underruns, 0u);
}

TEST(AudioJitterBuffer, StandingLatencyIsTrimmedFromTheOldestEnd) {
    auto buffer = mono();
    // A sender a little faster than the device: 11 frames in for every 10 out.
    float next = 1;
    std::size_t highest = 0;
    for (int i = 0; i < 300; ++i) {
        buffer.push(ramp(next, 11).data(), 11);
        next += 11;
        auto out = pull(buffer, 10);
        highest = std::max(highest, buffer.counters().queuedFrames);
        // Whatever is dropped, what plays is in order and continuous within each pull.
        for (std::size_t j = 1; j < out.size() && out[0] != 0; ++j)
            ASSERT_EQ(out[j], out[j - 1] + 1);
    }
    const auto counters = buffer.counters();
    EXPECT_GT(counters.trims, 0u);
    EXPECT_EQ(counters.underruns, 0u);
    EXPECT_EQ(counters.overruns, 0u);
    EXPECT_LE(highest, 60u) << "latency must not grow with the sender's drift";
    EXPECT_EQ(counters.pushedFrames,
              counters.playedFrames + counters.droppedFrames + counters.queuedFrames);
}

TEST(AudioJitterBuffer, BeyondTheCeilingTheOldestGoAtOnce) {
    auto buffer = mono();
    buffer.push(ramp(1, 200).data(), 200);  // at the ceiling, kept
    EXPECT_EQ(buffer.counters().overruns, 0u);
    buffer.push(ramp(201, 20).data(), 20);  // 220: back to the priming level, the newest
    const auto counters = buffer.counters();
    EXPECT_EQ(counters.overruns, 1u);
    EXPECT_EQ(counters.droppedFrames, 190u);
    EXPECT_EQ(pull(buffer, 30), ramp(191, 30));
}

TEST(AudioJitterBuffer, VolumeAndMuteScaleOnlyRealAudio) {
    AudioJitterBuffer buffer({.channels = 2, .minPrimeFrames = 2, .maxPrimeFrames = 2});
    const std::vector<float> frames = {0.5f, -0.5f, 1.0f, -1.0f, 0.25f, 0.75f, 0.1f, 0.2f};
    buffer.push(frames.data(), 4);

    buffer.setVolume(0.5f);
    EXPECT_EQ(pull(buffer, 1), (std::vector<float>{0.25f, -0.25f}));
    buffer.toggleMute();
    EXPECT_TRUE(buffer.muted());
    EXPECT_TRUE(silent(pull(buffer, 1)));
    buffer.toggleMute();
    EXPECT_FLOAT_EQ(buffer.volume(), 0.5f) << "mute keeps the volume";
    EXPECT_EQ(pull(buffer, 1), (std::vector<float>{0.125f, 0.375f}));

    buffer.setVolume(7.0f);
    EXPECT_FLOAT_EQ(buffer.volume(), 1.0f);
    buffer.setVolume(-1.0f);
    EXPECT_FLOAT_EQ(buffer.volume(), 0.0f);
    buffer.setVolume(1.0f);
    auto out = pull(buffer, 2);  // one frame, then silence after an underrun
    EXPECT_EQ(out, (std::vector<float>{0.1f, 0.2f, 0.0f, 0.0f}));
}

TEST(AudioJitterBuffer, MeanQueueIsMeasuredWhilePlaying) {
    auto buffer = mono();
    pull(buffer, 10);  // priming pulls are not latency
    buffer.push(ramp(1, 40).data(), 40);
    pull(buffer, 10);  // 40 queued, 30 after: 35
    pull(buffer, 10);  // 30 queued, 20 after: 25
    EXPECT_DOUBLE_EQ(buffer.counters().meanQueuedFrames, 30.0);
}

TEST(ChannelFold, StereoPassesThroughSevenOneSwapsSidesAndRearsHeightsFoldIntoTheFront) {
    std::vector<float> out;
    ChannelFold stereo(2, ChannelFold::deviceChannels(2));
    const std::vector<float> lr = {1, 2, 3, 4};
    stereo.apply(lr.data(), 2, out);
    EXPECT_EQ(out, lr);

    ChannelFold sevenOne(8, ChannelFold::deviceChannels(8));
    const std::vector<float> in8 = {1, 2, 3, 4, 5, 6, 7, 8};  // L R C LFE Ls Rs Rls Rrs
    sevenOne.apply(in8.data(), 1, out);
    EXPECT_EQ(out, (std::vector<float>{1, 2, 3, 4, 7, 8, 5, 6}));

    ASSERT_EQ(ChannelFold::deviceChannels(12), 8);
    ChannelFold atmos(12, 8);
    const std::vector<float> in12 = {1, 2, 3, 4, 5, 6, 7, 8, 10, 20, 30, 40};
    atmos.apply(in12.data(), 1, out);
    EXPECT_EQ(out, (std::vector<float>{1 + 5 + 15, 2 + 10 + 20, 3, 4, 7, 8, 5, 6}));
}

}  // namespace
}  // namespace vl
