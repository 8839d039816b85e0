// base/testing: the reports written while a test runs, captured through the logger's hook.
#pragma once

#include "base/Logger.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vl::testing {

class LogCapture {
  public:
    LogCapture() {
        Logger::shared().setCaptureHook([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        });
    }
    ~LogCapture() {
        Logger::shared().flush();
        Logger::shared().setCaptureHook(nullptr);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Whether a written line contains the text, waiting up to `wait` for reports made on other
    // threads to reach the logger.
    bool contains(const std::string& text, std::chrono::milliseconds wait = {}) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        for (;;) {
            Logger::shared().flush();
            {
                std::lock_guard lock(mutex_);
                if (std::any_of(lines_.begin(), lines_.end(), [&](const std::string& line) {
                        return line.find(text) != std::string::npos;
                    }))
                    return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // How many written lines contain the text, once every report made so far is written.
    std::size_t count(const std::string& text) {
        Logger::shared().flush();
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count_if(
            lines_.begin(), lines_.end(),
            [&](const std::string& line) { return line.find(text) != std::string::npos; }));
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace vl::testing
