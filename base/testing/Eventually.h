// base/testing: waiting, bounded, for something that another thread makes true.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace vl::testing {

// Polls the condition every few milliseconds until it holds or the timeout passes; the condition
// is asked once more at the end, so a slow machine never fails a test that just made it.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

}  // namespace vl::testing
