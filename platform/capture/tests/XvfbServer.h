// Test helper: a private Xvfb on a display number claimed in a range (DisplayClaim, shared with
// every other fixture and the headless desktop), stopped by process id.
#pragma once

#include "platform/desktop/ChildProcess.h"
#include "platform/desktop/DisplayClaim.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vl::test {

class XvfbServer {
  public:
    // Programs side by side may hold every number of the range for a while: waits for one.
    XvfbServer(int width, int height, int firstNumber = 80, int lastNumber = 84) {
        using namespace std::chrono_literals;
        for (int i = 0; i < 600 && !claim_.held(); ++i) {
            if (auto claim = DisplayClaim::claim(firstNumber, lastNumber))
                claim_ = std::move(*claim);
            else
                std::this_thread::sleep_for(100ms);
        }
        if (claim_.held()) start(width, height);
    }
    ~XvfbServer() { stop(); }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool running() const { return running_; }
    const std::string& name() const { return name_; }

    void stop() {
        server_.stop(std::chrono::milliseconds(1000));
        running_ = false;
        claim_.release();
    }

  private:
    void start(int width, int height) {
        using namespace std::chrono_literals;
        const std::string display = claim_.display();
        const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
        ChildProcess::Spawn spawn;
        spawn.arguments = {"Xvfb", display, "-screen", "0", screen, "-nolisten", "tcp", "-noreset"};
        for (char** e = environ; e && *e; ++e) spawn.environment.emplace_back(*e);
        claim_.handOver();
        auto child = ChildProcess::start(spawn);
        if (!child) return;
        for (int i = 0; i < 200 && child->running(); ++i) {
            if (DisplayClaim::socketLive(claim_.number())) {
                server_ = std::move(*child);
                running_ = true;
                name_ = display;
                return;
            }
            std::this_thread::sleep_for(25ms);
        }
        child->stop(1000ms);
        claim_.takeBack();
    }

    DisplayClaim claim_;  // released after the server is gone
    ChildProcess server_;
    bool running_ = false;
    std::string name_;
};

}  // namespace vl::test
