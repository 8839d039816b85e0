// Shared by the phantomScreen tests: a running main queue, captured reports, and the virtual
// display library loaded by path over a fake display arrangement.
#pragma once

#include "base/DispatchQueue.h"
#include "base/Logger.h"
#include "libPhantomScreen/platform/fake/FakeVirtualDisplays.h"
#include "phantomScreen/PhantomScreenInf.h"
#include "phantomScreen/PhantomScreenService.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vl::testing {

// The main queue runs on a thread of its own for the whole test program.
class MainLoopEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        thread_ = std::thread([] { DispatchQueue::runMain(); });
    }
    void TearDown() override {
        DispatchQueue::main().sync([] {});  // the loop is running before it is stopped
        DispatchQueue::stopMain();
        thread_.join();
    }

  private:
    std::thread thread_;
};

class Reports {
  public:
    Reports() {
        Logger::shared().setCaptureHook([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        });
    }
    ~Reports() { Logger::shared().setCaptureHook({}); }

    int count(const std::string& text) {
        Logger::shared().flush();
        std::lock_guard lock(mutex_);
        return int(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        }));
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

using InstallFunction = void (*)(const std::shared_ptr<ps::VirtualDisplayPlatform>*);

// A 2560-wide main display at the origin and a 1920-wide display to its right; the library is
// the test build, loaded by path, over fake virtual displays that join this arrangement.
class FakeLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        arrangement.addDisplay(FakeDisplayService::make(1, {0, 0, 2560, 1440}));
        arrangement.addDisplay(FakeDisplayService::make(2, {2560, 0, 1920, 1080}));
        handle = dlopen(FAKE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        install =
            reinterpret_cast<InstallFunction>(dlsym(handle, "vlPhantomScreenInstallPlatform"));
        ASSERT_NE(install, nullptr);
        std::shared_ptr<ps::VirtualDisplayPlatform> platform = virtuals;
        install(&platform);
    }

    void TearDown() override {
        settle();
        service->stopService();
        inf->release();
        if (install) install(nullptr);
        if (handle) dlclose(handle);
    }

    // Lets the work that addDisplayEx posts 0.2 s ahead run.
    static void settle() {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        DispatchQueue::main().sync([] {});
    }

    Reports reports;
    FakeDisplayService arrangement;
    std::shared_ptr<ps::FakeVirtualDisplays> virtuals =
        std::make_shared<ps::FakeVirtualDisplays>(arrangement);
    std::shared_ptr<PhantomScreenInf> inf =
        std::make_shared<PhantomScreenInf>(arrangement, DispatchQueue::main(), FAKE_LIBRARY_PATH);
    std::shared_ptr<PhantomScreenService> service =
        std::make_shared<PhantomScreenService>(inf, DispatchQueue::global());
    void* handle = nullptr;
    InstallFunction install = nullptr;
};

}  // namespace vl::testing
