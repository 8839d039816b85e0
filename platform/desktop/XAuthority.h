// platform/desktop: the access cookie of the headless desktop, so that only this user's programs
// can use it. The file is in the X authority format that both the X server (-auth) and clients
// (XAUTHORITY) read.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace vl {

using XCookie = std::array<std::uint8_t, 16>;

std::optional<XCookie> randomCookie();
// One MIT-MAGIC-COOKIE-1 entry for any host and the display number; written private (0600).
bool writeXAuthority(const std::string& path, int displayNumber, const XCookie& cookie);

}  // namespace vl
