#include "base/FrameTrace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

using namespace vl;

TEST(FrameTraceTest, MarksAreKeptOnlyWhileOnAndUpToTheCapacity) {
    FrameTrace::disable();
    FrameTrace::mark(FrameStage::grabbed, 1);
    FrameTrace::enable(2);
    EXPECT_TRUE(FrameTrace::marks().empty());  // nothing from before, nothing while off
    const auto at = Clock::now();
    FrameTrace::mark(FrameStage::captureTick, 5, at);
    FrameTrace::mark(FrameStage::sent, 6);
    FrameTrace::mark(FrameStage::arrived, 7);  // beyond the capacity
    FrameTrace::disable();
    FrameTrace::mark(FrameStage::decoded, 8);
    const auto marks = FrameTrace::marks();
    ASSERT_EQ(marks.size(), 2u);
    EXPECT_EQ(marks[0].stage, FrameStage::captureTick);
    EXPECT_EQ(marks[0].frame, 5u);
    EXPECT_EQ(marks[0].at, at);
    EXPECT_EQ(marks[1].stage, FrameStage::sent);
    EXPECT_EQ(description(FrameStage::encoderOut), "encoder out");
}

TEST(FrameTraceTest, TheFrameInHandIsPerThreadAndScopesNest) {
    EXPECT_EQ(FrameTrace::current(), 0u);
    {
        const FrameTrace::Scope outer(3);
        {
            const FrameTrace::Scope inner(4);
            EXPECT_EQ(FrameTrace::current(), 4u);
            std::uint64_t elsewhere = 99;
            std::thread([&] { elsewhere = FrameTrace::current(); }).join();
            EXPECT_EQ(elsewhere, 0u);
        }
        EXPECT_EQ(FrameTrace::current(), 3u);
    }
    EXPECT_EQ(FrameTrace::current(), 0u);
}

TEST(FrameTraceTest, WrittenMarksCarryStageFrameAndSteadyClockNanoseconds) {
    FrameTrace::enable(4);
    const Clock::time_point at{std::chrono::nanoseconds(1'234'567'890)};
    FrameTrace::mark(FrameStage::encoderOut, 42, at);
    FrameTrace::disable();
    const std::string path = ::testing::TempDir() + "frame-trace-test.txt";
    ASSERT_TRUE(FrameTrace::write(path));
    std::ifstream in(path);
    int stage = -1;
    unsigned long long frame = 0;
    long long ns = 0;
    in >> stage >> frame >> ns;
    EXPECT_EQ(stage, static_cast<int>(FrameStage::encoderOut));
    EXPECT_EQ(frame, 42u);
    EXPECT_EQ(ns, 1'234'567'890);
    EXPECT_FALSE(in >> stage);  // one mark, one line
    std::remove(path.c_str());
    EXPECT_FALSE(FrameTrace::write("/nonexistent-folder/trace.txt"));
}
