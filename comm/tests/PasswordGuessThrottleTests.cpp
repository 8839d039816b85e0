#include "comm/PasswordGuessThrottle.h"

#include <gtest/gtest.h>

using namespace vl;
using namespace std::chrono_literals;

namespace {

const Clock::time_point t0 = Clock::time_point{} + 1000h;

PasswordGuessThrottle::Policy policy() {
    PasswordGuessThrottle::Policy p;
    p.firstDelay = 1s;
    p.maxDelay = 8s;
    p.maxAddresses = 3;
    p.forgetAfter = 1h;
    p.maxPending = 4;
    return p;
}

}  // namespace

TEST(PasswordGuessThrottleTest, AnAddressThatNeverFailedIsJudgedAtOnce) {
    PasswordGuessThrottle throttle(policy());
    EXPECT_EQ(throttle.admit("10.0.0.1", t0), t0);
    throttle.recordSuccess("10.0.0.1");
    EXPECT_EQ(throttle.admit("10.0.0.1", t0 + 1ms), t0 + 1ms);
    // Another address is not slowed by someone else's failures.
    throttle.recordFailure("10.0.0.1");
    EXPECT_EQ(throttle.admit("10.0.0.2", t0 + 2ms), t0 + 2ms);
}

TEST(PasswordGuessThrottleTest, EachFailureDoublesTheWaitUpToTheCapAndSuccessClearsIt) {
    PasswordGuessThrottle throttle(policy());
    EXPECT_EQ(throttle.delayAfter(0), 0s);
    EXPECT_EQ(throttle.delayAfter(1), 1s);
    EXPECT_EQ(throttle.delayAfter(3), 4s);
    EXPECT_EQ(throttle.delayAfter(4), 8s);
    EXPECT_EQ(throttle.delayAfter(1000), 8s);

    // One guess at a time, each answered before the next is sent.
    Clock::time_point now = t0;
    std::vector<Clock::duration> waits;
    for (int guess = 0; guess < 6; ++guess) {
        auto judged = throttle.admit("10.0.0.1", now);
        ASSERT_TRUE(judged);
        waits.push_back(*judged - now);
        throttle.recordFailure("10.0.0.1");
        now = *judged;
    }
    EXPECT_EQ(waits, (std::vector<Clock::duration>{0s, 1s, 2s, 4s, 8s, 8s}));

    // The right password, when its turn comes, clears the address.
    auto judged = throttle.admit("10.0.0.1", now);
    ASSERT_TRUE(judged);
    EXPECT_GT(*judged, now);
    throttle.recordSuccess("10.0.0.1");
    EXPECT_EQ(throttle.admit("10.0.0.1", *judged), *judged);
}

TEST(PasswordGuessThrottleTest, GuessesSentTogetherAreJudgedOneAfterAnotherAndAFloodIsNotJudged) {
    PasswordGuessThrottle throttle(policy());
    std::vector<Clock::time_point> slots;
    for (int guess = 0; guess < 4; ++guess) slots.push_back(*throttle.admit("10.0.0.1", t0));
    EXPECT_EQ(slots, (std::vector<Clock::time_point>{t0, t0 + 1s, t0 + 3s, t0 + 7s}));
    // More waiting than the policy allows: not judged, so they hold nothing.
    EXPECT_FALSE(throttle.admit("10.0.0.1", t0));
    throttle.recordFailure("10.0.0.1");
    EXPECT_TRUE(throttle.admit("10.0.0.1", t0));
}

TEST(PasswordGuessThrottleTest, OldFailuresAreForgivenAndMemoryStaysBounded) {
    PasswordGuessThrottle throttle(policy());
    throttle.admit("10.0.0.1", t0);
    throttle.recordFailure("10.0.0.1");
    EXPECT_EQ(throttle.admit("10.0.0.1", t0 + 2h), t0 + 2h);
    throttle.recordFailure("10.0.0.1");

    for (int host = 2; host < 50; ++host) {
        const std::string address = "10.0.0." + std::to_string(host);
        throttle.admit(address, t0 + 2h + std::chrono::seconds(host));
        throttle.recordFailure(address);
        EXPECT_LE(throttle.rememberedAddresses(), 3u);
    }
}
