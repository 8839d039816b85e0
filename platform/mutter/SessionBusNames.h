// platform/mutter: the names owned on a session bus, asked once over a short-lived connection.
#pragma once

#include <optional>
#include <set>
#include <string>

namespace vl {

// The bus at `address` (a D-Bus address), or the user's session bus when empty; none when it
// cannot be reached.
std::optional<std::set<std::string>> sessionBusNames(const std::string& address = {});

}  // namespace vl
