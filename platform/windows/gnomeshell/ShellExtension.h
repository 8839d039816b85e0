// platform/windows/gnomeshell: where our GNOME Shell extension (extension/) answers on the session
// bus while the shell runs it.
#pragma once

namespace vl {

// The bus name the extension owns, and the object that offers its interfaces.
inline constexpr const char* shellWindowsName = "com.vantrellink.Windows";
inline constexpr const char* shellExtensionPath = "/com/vantrellink/Windows";
// The extension's uuid: its folder under gnome-shell/extensions and its name when enabling it.
inline constexpr const char* shellWindowsExtension = "windows@vantrel-link.example";

}  // namespace vl
