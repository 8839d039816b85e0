// base/testing: the main queue run on a thread of its own while a test (or a whole test program)
// needs it.
#pragma once

#include "base/DispatchQueue.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace vl::testing {

// Runs DispatchQueue::runMain() from construction to destruction. The destructor lets the blocks
// already queued run, then stops the loop and joins its thread.
class MainLoop {
  public:
    MainLoop() : thread_([] { DispatchQueue::runMain(); }) {}
    ~MainLoop() {
        // Also proves the loop is running, so the stop below cannot come before it starts.
        DispatchQueue::main().sync([] {});
        DispatchQueue::stopMain();
        thread_.join();
    }
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

  private:
    std::thread thread_;
};

// The main loop for every test of a program:
//   [[maybe_unused]] auto* const mainLoop =
//       ::testing::AddGlobalTestEnvironment(new vl::testing::MainLoopEnvironment);
class MainLoopEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { loop_ = std::make_unique<MainLoop>(); }
    void TearDown() override { loop_.reset(); }

  private:
    std::unique_ptr<MainLoop> loop_;
};

}  // namespace vl::testing
