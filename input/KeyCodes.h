// input: the client's key codes (keyboard-page HID usages) in the virtual key codes the events
// service takes, and the keys that are never typed as text.
#pragma once

#include <cstdint>
#include <optional>

namespace vl {

std::optional<std::uint16_t> hidToCGKeyCode(std::uint32_t usage);

// Return, Escape, Backspace, Tab and the navigation keys: sent as key codes even with text.
bool isAlwaysKeyCodeUsage(std::uint32_t usage);

}  // namespace vl
