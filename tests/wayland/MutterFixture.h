// tests/wayland: a test on a private Mutter — the compositor started (or the test skipped when it
// is not installed), this process's PipeWire consumers pointed at its PipeWire, and a connection
// to its session bus. A derived SetUp calls this one first and returns when it skipped or failed.
#pragma once

#include "platform/mutter/MutterBus.h"
#include "platform/mutter/MutterVirtualMonitor.h"
#include "tests/wayland/PrivateMutter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>

namespace vl::testing {

class MutterFixture : public ::testing::Test {
  protected:
    void SetUp() override { startDesktop(std::nullopt); }
    // Bare Mutter, or GNOME Shell with `shell`.
    void startDesktop(const std::optional<PrivateMutter::Shell>& shell) {
        if (auto missing = PrivateMutter::missingProgram(shell.has_value()))
            GTEST_SKIP() << *missing;
        std::string error;
        desktop = PrivateMutter::start(&error, shell);
        ASSERT_TRUE(desktop) << error;
        // Set before any PipeWire thread of this process exists.
        setenv("PIPEWIRE_RUNTIME_DIR", desktop->runtimeDirectory().c_str(), 1);
        setenv("XDG_RUNTIME_DIR", desktop->runtimeDirectory().c_str(), 1);
        bus = MutterBus::open(desktop->busAddress(), &error);
        ASSERT_TRUE(bus) << error;
    }
    bool ready() const { return !IsSkipped() && !HasFatalFailure(); }
    // A virtual monitor of that size on it, in `monitor`; called from a derived SetUp.
    void addMonitor(int width, int height) {
        std::string error;
        monitors = std::make_shared<MutterMonitors>(bus);
        monitor = monitors->add({.width = width, .height = height}, &error);
        ASSERT_TRUE(monitor) << error;
    }

    std::unique_ptr<PrivateMutter> desktop;
    std::shared_ptr<MutterBus> bus;
    std::shared_ptr<MutterMonitors> monitors;
    std::shared_ptr<MutterVirtualMonitor> monitor;
};

}  // namespace vl::testing
