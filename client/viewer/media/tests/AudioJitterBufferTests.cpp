// The jitter buffer as the audio device sees it: silence until primed, real audio in order, an
// underrun played as silence and primed again, bursts trimmed from the oldest end, gain applied;
// and the channel fold into the device's order.
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

AudioJitterBuffer mono() {
    return AudioJitterBuffer({.channels = 1, .primeFrames = 30, .maxFrames = 60});
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

TEST(AudioJitterBuffer, UnderrunPlaysTheRestThenSilenceAndPrimesAgain) {
    auto buffer = mono();
    buffer.push(ramp(1, 40).data(), 40);
    EXPECT_EQ(pull(buffer, 30), ramp(1, 30));

    // 10 left for a pull of 16: the 10, then silence.
    auto out = pull(buffer, 16);
    EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 10), ramp(31, 10));
    EXPECT_TRUE(silent({out.begin() + 10, out.end()}));
    EXPECT_EQ(buffer.counters().underruns, 1u);
    EXPECT_FALSE(buffer.counters().playing);

    // A packet smaller than the priming level does not restart playback...
    buffer.push(ramp(41, 20).data(), 20);
    EXPECT_TRUE(silent(pull(buffer, 10)));
    EXPECT_EQ(buffer.counters().underruns, 1u) << "silence while priming is not counted again";
    // ...the priming level does, without losing a frame.
    buffer.push(ramp(61, 10).data(), 10);
    EXPECT_EQ(pull(buffer, 30), ramp(41, 30));
}

TEST(AudioJitterBuffer, BurstBeyondTheCeilingDropsTheOldestBackToTheTarget) {
    auto buffer = mono();
    buffer.push(ramp(1, 40).data(), 40);
    buffer.push(ramp(41, 20).data(), 20);  // 60: at the ceiling, kept
    EXPECT_EQ(buffer.counters().overruns, 0u);
    buffer.push(ramp(61, 20).data(), 20);  // 80: trimmed to 30, the newest
    auto counters = buffer.counters();
    EXPECT_EQ(counters.overruns, 1u);
    EXPECT_EQ(counters.droppedFrames, 50u);
    EXPECT_EQ(counters.queuedFrames, 30u);
    EXPECT_EQ(pull(buffer, 30), ramp(51, 30));

    // Sustained bursts never let the queue grow past the ceiling.
    for (int i = 0; i < 100; ++i) {
        buffer.push(ramp(0, 25).data(), 25);
        EXPECT_LE(buffer.counters().queuedFrames, 60u);
    }
}

TEST(AudioJitterBuffer, VolumeAndMuteScaleOnlyRealAudio) {
    AudioJitterBuffer buffer({.channels = 2, .primeFrames = 2, .maxFrames = 100});
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
    pull(buffer, 10);  // 40 queued
    pull(buffer, 10);  // 30 queued
    EXPECT_DOUBLE_EQ(buffer.counters().meanQueuedFrames, 35.0);
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
