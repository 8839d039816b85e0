// The encoder checked against libavcodec's decoder, the independent reference.
#include <gtest/gtest.h>

#include "aac/tests/CodecTestSupport.h"

namespace vl::aac::test {
namespace {

TEST(AacEldReference, SineDecodesAtItsLevelAfterTheDelay) {
    const int frames = 48000;
    const double amplitude = std::pow(10.0, -20.0 / 20.0) * std::sqrt(2.0) / std::sqrt(2.0);
    const auto in = makeSignal(2, frames, [&](int, int i) { return sineAt(1000.0, amplitude, i); });
    const RoundTrip rt = roundTrip(EldChannelLayout::stereo, in);
    ASSERT_EQ(rt.decodeFailures, 0);
    ASSERT_EQ(rt.output.size(), 2u);
    for (int c = 0; c < 2; ++c) {
        const auto ref = delayedChannel(in, 2, c, rt.output[c].size());
        const std::size_t from = 4800;
        const double level = goertzelPowerDb(rt.output[c], from, 1000.0);
        std::printf("ch%d level %.3f dB (peak amplitude dB), snr %.2f dB, rms %.2f vs %.2f\n", c,
                    level, snrDb(ref, rt.output[c], from), rmsDb(rt.output[c], from),
                    rmsDb(ref, from));
        EXPECT_NEAR(level, -20.0, 0.5);
        EXPECT_GT(snrDb(ref, rt.output[c], from), 30.0);
    }
}

}  // namespace
}  // namespace vl::aac::test
