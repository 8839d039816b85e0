// platform/mutter: the monitors Mutter shows, from DisplayConfig's current state — connector,
// identity, current mode and, for those in use, where they sit — and moving them, which Mutter
// takes as a whole new layout.
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
    std::string modeID;  // what a layout names the current mode by
    // Set for a monitor in a logical monitor (one that shows part of the desktop).
    std::optional<int> x;
    std::optional<int> y;
    bool primary = false;
};

// A region of the desktop and the monitors showing it (more than one: they mirror each other).
struct MutterLogicalMonitor {
    int x = 0;
    int y = 0;
    double scale = 1;
    std::uint32_t transform = 0;
    bool primary = false;
    std::vector<std::string> connectors;
};

struct MutterDisplayState {
    std::uint32_t serial = 0;  // what ApplyMonitorsConfig must name
    std::vector<MutterMonitor> monitors;
    std::vector<MutterLogicalMonitor> logicalMonitors;
    // In the logical layout mode a monitor covers its mode's size divided by its scale.
    bool logicalLayout = true;

    const MutterMonitor* monitor(const std::string& connector) const;
};

// Null when Mutter cannot be asked or answered something else; `error` then says why.
std::optional<MutterDisplayState> currentDisplayState(MutterBus& bus, std::string* error = nullptr);

// Shows `layout` (each monitor in its current mode) for this session only; false when Mutter
// refused it (its state moved on, or the layout has gaps or overlaps), `error` then says why.
bool applyLayout(MutterBus& bus, const MutterDisplayState& state,
                 const std::vector<MutterLogicalMonitor>& layout, std::string* error = nullptr);

}  // namespace vl
