#include "StereoPCMRingBuffer.h"

#include <gtest/gtest.h>

#include <vector>

namespace vl::mic {
namespace {

std::vector<float> frames(int first, int count) {
    std::vector<float> v;
    for (int i = first; i < first + count; ++i) {
        v.push_back(float(i));
        v.push_back(-float(i));
    }
    return v;
}

TEST(StereoPCMRingBuffer, ShortReadIsPaddedWithSilence) {
    StereoPCMRingBuffer ring(48000);
    auto in = frames(1, 200);
    ring.writeInterleaved(in.data(), 200);
    std::vector<float> out(512 * 2, 7.0f);
    EXPECT_EQ(ring.read(out.data(), 512), 200);
    EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 400), in);
    for (std::size_t i = 400; i < out.size(); ++i) ASSERT_EQ(out[i], 0.0f) << i;
    EXPECT_EQ(ring.count(), 0);
}

TEST(StereoPCMRingBuffer, OverflowKeepsTheNewestFramesInOrder) {
    // One write larger than the ring, and wrapping writes that overrun a partly read ring.
    StereoPCMRingBuffer big(48000);
    auto in = frames(0, 50000);
    big.writeInterleaved(in.data(), 50000);
    EXPECT_EQ(big.count(), 48000);
    std::vector<float> out(48000 * 2);
    big.read(out.data(), 48000);
    EXPECT_EQ(out[0], 2000.0f);
    EXPECT_EQ(out.back(), -49999.0f);

    StereoPCMRingBuffer ring(10);
    auto a = frames(0, 7);
    ring.writeInterleaved(a.data(), 7);
    std::vector<float> two(4);
    ring.read(two.data(), 2);  // head now 2, 5 held
    auto b = frames(7, 8);     // 13 held: the oldest 3 are overwritten
    ring.writeInterleaved(b.data(), 8);
    EXPECT_EQ(ring.count(), 10);
    std::vector<float> all(20);
    EXPECT_EQ(ring.read(all.data(), 10), 10);
    EXPECT_EQ(all, frames(5, 10));
}

TEST(StereoPCMRingBuffer, NothingForNonPositiveCounts) {
    StereoPCMRingBuffer ring(4);
    float f[2] = {1, 2};
    ring.writeInterleaved(f, 0);
    ring.writeInterleaved(f, -3);
    EXPECT_EQ(ring.count(), 0);
}

}  // namespace
}  // namespace vl::mic
