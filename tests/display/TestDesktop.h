// tests/display: a headless Xorg with the dummy driver started for one test program on :70-:79,
// its environment exported so that the library and xrandr use it, and what xrandr reports.
#pragma once

#include "base/testing/CommandOutput.h"
#include "platform/desktop/HeadlessDesktop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vl::testing {

inline HeadlessDesktop::Options testDesktopOptions() {
    HeadlessDesktop::Options options;
    options.firstDisplay = 70;
    options.lastDisplay = 79;
    options.workDirectory = "/tmp/vl-display/desktop-" + std::to_string(getpid());
    std::filesystem::create_directories("/tmp/vl-display");
    return options;
}

class Reports {
  public:
    HeadlessDesktop::Report sink() {
        return [this](const std::string& text) {
            std::lock_guard lock(mutex_);
            lines_.push_back(text);
        };
    }
    int count(const std::string& text) {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto& line : lines_)
            if (line.find(text) != std::string::npos) ++n;
        return n;
    }
    std::string all() {
        std::lock_guard lock(mutex_);
        std::string text;
        for (const auto& line : lines_) text += line + "\n";
        return text;
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

inline std::string run(const std::string& command) {
    return vl::testing::commandOutput(command + " 2>&1");
}

struct XrandrOutput {
    int width = 0, height = 0, x = 0, y = 0;
    bool operator==(const XrandrOutput&) const = default;
};

// What `xrandr --query` shows: the screen size and each switched-on output's geometry.
struct XrandrState {
    int screenWidth = 0, screenHeight = 0;
    std::map<std::string, XrandrOutput> enabled;
    bool operator==(const XrandrState&) const = default;
};

inline XrandrState xrandr() {
    XrandrState state;
    std::istringstream lines(run("xrandr --query"));
    std::regex screen(R"(^Screen \d+: .*current (\d+) x (\d+),)");
    std::regex output(R"(^(\S+) (?:dis)?connected (?:primary )?(\d+)x(\d+)\+(-?\d+)\+(-?\d+))");
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_search(line, m, screen)) {
            state.screenWidth = std::stoi(m[1]);
            state.screenHeight = std::stoi(m[2]);
        } else if (std::regex_search(line, m, output)) {
            state.enabled[m[1]] = {std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4]),
                                   std::stoi(m[5])};
        }
    }
    return state;
}

// Test programs may run side by side and share the ten display numbers: wait for a free one.
template <typename Start>
auto startWaitingForANumber(Reports& reports, Start start) {
    auto running = start();
    for (int i = 0; !running && i < 120 && reports.count("no free display number"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        running = start();
    }
    return running;
}

// Starts the desktop for the test and stops it after; skips nothing: a failed start fails.
class DesktopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        desktop = std::make_unique<HeadlessDesktop>(testDesktopOptions(), reports.sink());
        auto running = startWaitingForANumber(reports, [&] { return desktop->start(); });
        ASSERT_TRUE(running) << reports.all();
        ASSERT_EQ(running->server, HeadlessDesktop::Server::xorgDummy) << reports.all();
        HeadlessDesktop::exportEnvironment(*running);
    }
    void TearDown() override {
        if (desktop) desktop->stop();
        // Logs stay for a failed test.
        if (!HasFailure()) std::filesystem::remove_all(testDesktopOptions().workDirectory);
    }

    Reports reports;
    std::unique_ptr<HeadlessDesktop> desktop;
};

}  // namespace vl::testing
