#include "comm/PasswordGuessThrottle.h"

#include <gtest/gtest.h>

using namespace vl;
using namespace std::chrono_literals;
using Admission = PasswordGuessThrottle::Admission;

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
    EXPECT_EQ(throttle.admit("10.0.0.1", 1, t0), Admission::judgeNow);
    throttle.recordSuccess("10.0.0.1");
    EXPECT_EQ(throttle.admit("10.0.0.1", 2, t0 + 1ms), Admission::judgeNow);
    // Another address is not slowed by someone else's failures.
    throttle.recordFailure("10.0.0.1", t0 + 1ms);
    EXPECT_EQ(throttle.admit("10.0.0.2", 3, t0 + 2ms), Admission::judgeNow);
    EXPECT_EQ(throttle.admit("10.0.0.1", 4, t0 + 2ms), Admission::waiting);
}

TEST(PasswordGuessThrottleTest, EachFailureDoublesTheWaitUpToTheCapAndSuccessClearsIt) {
    PasswordGuessThrottle throttle(policy());
    EXPECT_EQ(throttle.delayAfter(0), 0s);
    EXPECT_EQ(throttle.delayAfter(1), 1s);
    EXPECT_EQ(throttle.delayAfter(3), 4s);
    EXPECT_EQ(throttle.delayAfter(4), 8s);
    EXPECT_EQ(throttle.delayAfter(1000), 8s);

    // One guess at a time, each sent as soon as the last was answered.
    Clock::time_point now = t0;
    std::vector<Clock::duration> waits;
    for (PasswordGuessThrottle::Attempt guess = 0; guess < 6; ++guess) {
        const Clock::time_point sent = now;
        if (throttle.admit("10.0.0.1", guess, now) == Admission::waiting) {
            now = *throttle.nextTurn("10.0.0.1");
            ASSERT_EQ(throttle.takeDue("10.0.0.1", now - 1ms), std::nullopt);
            ASSERT_EQ(throttle.takeDue("10.0.0.1", now), guess);
        }
        waits.push_back(now - sent);
        throttle.recordFailure("10.0.0.1", now);
    }
    EXPECT_EQ(waits, (std::vector<Clock::duration>{0s, 1s, 2s, 4s, 8s, 8s}));

    // The right password, when its turn comes, clears the address.
    ASSERT_EQ(throttle.admit("10.0.0.1", 7, now), Admission::waiting);
    now = *throttle.nextTurn("10.0.0.1");
    ASSERT_EQ(throttle.takeDue("10.0.0.1", now), 7u);
    throttle.recordSuccess("10.0.0.1");
    EXPECT_EQ(throttle.admit("10.0.0.1", 8, now), Admission::judgeNow);
}

TEST(PasswordGuessThrottleTest, GuessesSentTogetherWaitInLineAndAFloodIsNotJudged) {
    PasswordGuessThrottle throttle(policy());
    ASSERT_EQ(throttle.admit("10.0.0.1", 1, t0), Admission::judgeNow);
    throttle.recordFailure("10.0.0.1", t0);
    for (PasswordGuessThrottle::Attempt guess = 2; guess < 6; ++guess)
        EXPECT_EQ(throttle.admit("10.0.0.1", guess, t0), Admission::waiting);
    // More waiting than the policy allows: not judged, so they hold nothing.
    EXPECT_EQ(throttle.admit("10.0.0.1", 6, t0), Admission::refused);

    // Turns come one judgement apart, in arrival order, however many wait.
    std::vector<Clock::time_point> turns;
    while (auto turn = throttle.nextTurn("10.0.0.1")) {
        auto attempt = throttle.takeDue("10.0.0.1", *turn);
        ASSERT_TRUE(attempt);
        EXPECT_EQ(*attempt, turns.size() + 2);
        throttle.recordFailure("10.0.0.1", *turn);
        EXPECT_EQ(throttle.takeDue("10.0.0.1", *turn), std::nullopt);  // one per judgement
        turns.push_back(*turn);
    }
    EXPECT_EQ(turns, (std::vector<Clock::time_point>{t0 + 1s, t0 + 3s, t0 + 7s, t0 + 15s}));
}

TEST(PasswordGuessThrottleTest, AnAbandonedAttemptGivesItsPlaceBackAndDelaysNoOne) {
    PasswordGuessThrottle throttle(policy());
    ASSERT_EQ(throttle.admit("10.0.0.1", 1, t0), Admission::judgeNow);
    throttle.recordFailure("10.0.0.1", t0);
    for (PasswordGuessThrottle::Attempt guess = 2; guess < 6; ++guess)
        ASSERT_EQ(throttle.admit("10.0.0.1", guess, t0), Admission::waiting);
    // Every guesser gives up before its turn: the line is empty and room is back.
    for (PasswordGuessThrottle::Attempt guess = 2; guess < 6; ++guess)
        throttle.withdraw("10.0.0.1", guess);
    EXPECT_EQ(throttle.nextTurn("10.0.0.1"), std::nullopt);
    // The owner's attempt is judged at the turn the last judgement left, not behind the others.
    ASSERT_EQ(throttle.admit("10.0.0.1", 9, t0 + 100ms), Admission::waiting);
    EXPECT_EQ(throttle.nextTurn("10.0.0.1"), t0 + 1s);
    EXPECT_EQ(throttle.takeDue("10.0.0.1", t0 + 1s), 9u);
}

TEST(PasswordGuessThrottleTest, OldFailuresAreForgivenAndMemoryStaysBounded) {
    PasswordGuessThrottle throttle(policy());
    throttle.admit("10.0.0.1", 1, t0);
    throttle.recordFailure("10.0.0.1", t0);
    EXPECT_EQ(throttle.admit("10.0.0.1", 2, t0 + 2h), Admission::judgeNow);
    EXPECT_EQ(throttle.delayAfter(1), 1s);

    for (int host = 2; host < 50; ++host) {
        const std::string address = "10.0.0." + std::to_string(host);
        const auto now = t0 + 2h + std::chrono::seconds(host);
        throttle.admit(address, 100 + host, now);
        throttle.recordFailure(address, now);
        EXPECT_LE(throttle.rememberedAddresses(), 3u);
    }
}
