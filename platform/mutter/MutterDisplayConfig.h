// platform/mutter: the monitors Mutter shows, from DisplayConfig's current state — connector,
// identity, current mode and, for those in use, where they sit.
#pragma once

#include "platform/mutter/MutterBus.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vl {

struct MutterMonitor {
    std::string connector;  // "Meta-0" for Mutter's virtual monitors
    std::string vendor;
    std::string product;
    std::string serial;
    std::string displayName;
    // The current mode; zero when the monitor has none.
    int width = 0;
    int height = 0;
    double refreshRate = 0;
    // Set for a monitor in a logical monitor (one that shows part of the desktop).
    std::optional<int> x;
    std::optional<int> y;
    bool primary = false;
};

struct MutterDisplayState {
    std::uint32_t serial = 0;  // what ApplyMonitorsConfig must name
    std::vector<MutterMonitor> monitors;

    const MutterMonitor* monitor(const std::string& connector) const;
};

// Null when Mutter cannot be asked or answered something else; `error` then says why.
std::optional<MutterDisplayState> currentDisplayState(MutterBus& bus, std::string* error = nullptr);

}  // namespace vl
