// tests/wayland: waiting for what another process does.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace vl::testing {

// Polls the condition every 20 ms until it holds or the time is up.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

}  // namespace vl::testing
