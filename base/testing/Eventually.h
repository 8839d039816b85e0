// base/testing: waiting, bounded, for something that another thread makes true.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace vl::testing {

// Polls the condition every `interval` until it holds or the timeout passes; the condition is
// asked once more at the end, so a slow machine never fails a test that just made it. Conditions
// that start a process each time want a longer interval than the default.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10),
                       std::chrono::milliseconds interval = std::chrono::milliseconds(2)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(interval);
    }
    return condition();
}

}  // namespace vl::testing
