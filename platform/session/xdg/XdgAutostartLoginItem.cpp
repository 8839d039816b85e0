#include "platform/session/xdg/XdgAutostartLoginItem.h"

#include <fstream>

namespace vl {

XdgAutostartLoginItem::XdgAutostartLoginItem(std::filesystem::path entry, std::string command)
    : entry_(std::move(entry)), command_(std::move(command)) {}

bool XdgAutostartLoginItem::isEnabled() const {
    return std::filesystem::exists(entry_);
}

std::optional<std::string> XdgAutostartLoginItem::enable() {
    if (isEnabled()) return std::nullopt;
    std::error_code error;
    std::filesystem::create_directories(entry_.parent_path(), error);
    if (error) return error.message();
    std::ofstream out(entry_);
    out << "[Desktop Entry]\nType=Application\nName=Vantrel Link Server\nExec=" << command_
        << "\nX-GNOME-Autostart-enabled=true\n";
    if (!out) return "cannot write " + entry_.string();
    return std::nullopt;
}

}  // namespace vl
