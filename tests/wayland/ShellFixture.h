// tests/wayland: a test on a private headless GNOME Shell running our extension (the folder
// VL_SHELL_EXTENSION names), enabled; otherwise as MutterFixture.
#pragma once

#include "platform/windows/gnomeshell/ShellExtension.h"
#include "tests/wayland/MutterFixture.h"

namespace vl::testing {

class ShellFixture : public MutterFixture {
  protected:
    void SetUp() override {
        startDesktop(PrivateMutter::Shell{.extensionFolder = VL_SHELL_EXTENSION,
                                          .extensionUUID = shellWindowsExtension,
                                          .busName = shellWindowsName,
                                          .enabled = true});
    }
};

}  // namespace vl::testing
