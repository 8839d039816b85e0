#include "base/CallbackGate.h"
#include "base/testing/Eventually.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using namespace vl;
using namespace std::chrono_literals;

TEST(CallbackGate, CloseWaitsForACallUnderWayElsewhereAndNoCallRunsAfter) {
    CallbackGate gate;
    std::promise<void> entered, release;
    std::thread caller([&] {
        gate.pass([&] {
            entered.set_value();
            release.get_future().wait();
        });
    });
    entered.get_future().wait();
    auto closed = std::async(std::launch::async, [&] { gate.close(); });
    ASSERT_TRUE(vl::testing::eventually([&] { return gate.isClosed(); }));
    // Closed, but close() is still waiting for the call under way.
    EXPECT_EQ(closed.wait_for(50ms), std::future_status::timeout);
    release.set_value();
    EXPECT_EQ(closed.wait_for(5s), std::future_status::ready);
    caller.join();

    bool ran = false;
    EXPECT_FALSE(gate.pass([&] { ran = true; }));
    EXPECT_FALSE(ran);
}

TEST(CallbackGate, ClosingFromInsideACallDoesNotWaitForItself) {
    CallbackGate gate;
    auto done = std::async(std::launch::async, [&] {
        return gate.pass([&] {
            gate.pass([&] { gate.close(); });  // nested calls on one thread
        });
    });
    ASSERT_EQ(done.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(done.get());
    EXPECT_FALSE(gate.pass([] {}));
}
