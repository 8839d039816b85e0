// platform/session/xdg: start at login through an XDG autostart entry.
#pragma once

#include "platform/session/Interface.h"

#include <filesystem>

namespace vl {

class XdgAutostartLoginItem final : public LoginItem {
  public:
    // `entry` is the .desktop file to write; `command` the program line it starts.
    XdgAutostartLoginItem(std::filesystem::path entry, std::string command);

    bool isEnabled() const override;
    std::optional<std::string> enable() override;

  private:
    std::filesystem::path entry_;
    std::string command_;
};

}  // namespace vl
