#include "platform/display/mutter/MutterDisplayService.h"

#include <algorithm>
#include <map>
#include <utility>

namespace vl {

namespace {

const MutterLogicalMonitor* regionOf(const MutterDisplayState& state,
                                     const std::string& connector) {
    for (const auto& region : state.logicalMonitors)
        if (std::find(region.connectors.begin(), region.connectors.end(), connector) !=
            region.connectors.end())
            return &region;
    return nullptr;
}

const MutterMonitor* monitorOf(const MutterDisplayState& state, DisplayID display) {
    for (const auto& monitor : state.monitors)
        if (displayIDForConnector(monitor.connector) == display) return &monitor;
    return nullptr;
}

// The region's extent on the desktop, from the first monitor showing it.
std::optional<DisplayRect> extentOf(const MutterDisplayState& state,
                                    const MutterLogicalMonitor& region) {
    if (region.connectors.empty()) return std::nullopt;
    const MutterMonitor* monitor = state.monitor(region.connectors.front());
    if (!monitor || monitor->width <= 0) return std::nullopt;
    double width = monitor->width;
    double height = monitor->height;
    if (region.transform % 2 == 1) std::swap(width, height);  // turned a quarter
    if (state.logicalLayout && region.scale > 0) {
        width /= region.scale;
        height /= region.scale;
    }
    return DisplayRect{double(region.x), double(region.y), width, height};
}

// The display placed at the origin is the main one, as on the other platforms, and Mutter takes
// only layouts whose top-left corner is the origin: the layout shifts so that it is.
void placeMainAtOrigin(std::vector<MutterLogicalMonitor>& layout) {
    if (layout.empty()) return;
    auto main = std::find_if(layout.begin(), layout.end(),
                             [](const auto& region) { return region.x == 0 && region.y == 0; });
    if (main != layout.end())
        for (auto& region : layout) region.primary = &region == &*main;
    int left = layout.front().x, top = layout.front().y;
    for (const auto& region : layout) {
        left = std::min(left, region.x);
        top = std::min(top, region.y);
    }
    for (auto& region : layout) {
        region.x -= left;
        region.y -= top;
    }
}

}  // namespace

class MutterDisplayService::Configuration final : public DisplayConfiguration {
  public:
    explicit Configuration(MutterDisplayService& service) : service_(service) {}

    DisplayError configureMirrorOfDisplay(DisplayID, DisplayID master) override {
        return master == nullDisplayID ? DisplayError::success : DisplayError::notSupported;
    }
    DisplayError configureDisplayOrigin(DisplayID display, std::int32_t x,
                                        std::int32_t y) override {
        origins_[display] = {x, y};
        return DisplayError::success;
    }
    // A monitor keeps the size its stream gave it.
    DisplayError configureDisplayWithMode(DisplayID display, const DisplayMode& mode) override {
        auto current = service_.modes(display);
        if (current.empty()) return DisplayError::illegalArgument;
        return current.front().pixelWidth == mode.pixelWidth &&
                       current.front().pixelHeight == mode.pixelHeight
                   ? DisplayError::success
                   : DisplayError::notSupported;
    }
    DisplayError complete(ConfigureOption) override {
        if (origins_.empty()) return DisplayError::success;
        auto state = service_.state();
        if (!state) return DisplayError::invalidConnection;
        std::vector<MutterLogicalMonitor> layout = state->logicalMonitors;
        for (const auto& [display, origin] : origins_) {
            const MutterMonitor* monitor = monitorOf(*state, display);
            auto region = std::find_if(layout.begin(), layout.end(), [&](const auto& candidate) {
                return monitor &&
                       std::find(candidate.connectors.begin(), candidate.connectors.end(),
                                 monitor->connector) != candidate.connectors.end();
            });
            if (region == layout.end()) return DisplayError::illegalArgument;
            region->x = origin.first;
            region->y = origin.second;
        }
        origins_.clear();
        closeGaps(layout, *state);
        placeMainAtOrigin(layout);
        std::string error;
        if (applyLayout(*service_.monitors_->bus(), *state, layout, &error))
            return DisplayError::success;
        if (service_.report_) service_.report_("🟨 Mutter kept its monitor layout: " + error);
        return DisplayError::failure;
    }
    void cancel() override { origins_.clear(); }

  private:
    MutterDisplayService& service_;
    std::map<DisplayID, std::pair<std::int32_t, std::int32_t>> origins_;
};

MutterDisplayService::MutterDisplayService(std::shared_ptr<MutterMonitors> monitors, Report report)
    : monitors_(std::move(monitors)), report_(std::move(report)) {}

std::optional<MutterDisplayState> MutterDisplayService::state() {
    return currentDisplayState(*monitors_->bus());
}

std::optional<VirtualMonitorIdentity> MutterDisplayService::ours(DisplayID display) const {
    auto monitor = monitors_->find(display);
    if (!monitor) return std::nullopt;
    return monitor->identity();
}

std::optional<DisplayRect> MutterDisplayService::boundsIn(const MutterDisplayState& state,
                                                          const std::string& connector) {
    const MutterLogicalMonitor* region = regionOf(state, connector);
    if (!region) return std::nullopt;
    return extentOf(state, *region);
}

void MutterDisplayService::closeGaps(std::vector<MutterLogicalMonitor>& layout,
                                     const MutterDisplayState& state) {
    for (auto& region : layout)
        for (const auto& other : layout) {
            if (&other == &region) continue;
            auto extent = extentOf(state, other);
            if (extent && region.x == int(extent->maxX()) + 1) region.x = int(extent->maxX());
        }
}

DisplayResult<std::vector<DisplayID>> MutterDisplayService::activeDisplayList(std::uint32_t max) {
    auto current = state();
    if (!current) return {{}, DisplayError::invalidConnection};
    std::vector<DisplayID> list;
    // The main display first, as the platform lists it.
    for (int pass = 0; pass < 2; ++pass)
        for (const auto& monitor : current->monitors) {
            const MutterLogicalMonitor* region = regionOf(*current, monitor.connector);
            if (!region || region->primary != (pass == 0) || list.size() >= max) continue;
            list.push_back(displayIDForConnector(monitor.connector));
        }
    return {list, DisplayError::success};
}

DisplayResult<std::vector<DisplayID>> MutterDisplayService::onlineDisplayList(std::uint32_t max) {
    auto current = state();
    if (!current) return {{}, DisplayError::invalidConnection};
    std::vector<DisplayID> list;
    for (const auto& monitor : current->monitors)
        if (list.size() < max) list.push_back(displayIDForConnector(monitor.connector));
    return {list, DisplayError::success};
}

DisplayResult<std::vector<DisplayID>> MutterDisplayService::displaysWithPoint(DisplayPoint point,
                                                                              std::uint32_t max) {
    auto current = state();
    if (!current) return {{}, DisplayError::invalidConnection};
    std::vector<DisplayID> list;
    for (const auto& monitor : current->monitors) {
        auto rect = boundsIn(*current, monitor.connector);
        if (rect && rect->contains(point) && list.size() < max)
            list.push_back(displayIDForConnector(monitor.connector));
    }
    return {list, DisplayError::success};
}

DisplayRect MutterDisplayService::bounds(DisplayID display) {
    auto current = state();
    const MutterMonitor* monitor = current ? monitorOf(*current, display) : nullptr;
    if (!monitor) return {};
    return boundsIn(*current, monitor->connector).value_or(DisplayRect{});
}

bool MutterDisplayService::isOnline(DisplayID display) {
    auto current = state();
    return current && monitorOf(*current, display);
}

std::uint32_t MutterDisplayService::vendorNumber(DisplayID display) {
    auto identity = ours(display);
    return identity ? identity->vendor : 0;
}

std::uint32_t MutterDisplayService::modelNumber(DisplayID display) {
    auto identity = ours(display);
    return identity ? identity->model : 0;
}

std::uint32_t MutterDisplayService::serialNumber(DisplayID display) {
    auto identity = ours(display);
    return identity ? identity->serial : 0;
}

DisplayID MutterDisplayService::mainDisplay() {
    auto current = state();
    if (!current) return nullDisplayID;
    for (const auto& region : current->logicalMonitors)
        if (region.primary && !region.connectors.empty())
            return displayIDForConnector(region.connectors.front());
    return nullDisplayID;
}

DisplayID MutterDisplayService::mirrorsDisplay(DisplayID) {
    return nullDisplayID;
}

bool MutterDisplayService::isInMirrorSet(DisplayID) {
    return false;
}

std::vector<DisplayMode> MutterDisplayService::modes(DisplayID display) {
    auto current = state();
    const MutterMonitor* monitor = current ? monitorOf(*current, display) : nullptr;
    if (!monitor || monitor->width <= 0) return {};
    auto rect = boundsIn(*current, monitor->connector);
    DisplayMode mode;
    mode.pixelWidth = monitor->width;
    mode.pixelHeight = monitor->height;
    mode.width = rect ? int(rect->width) : monitor->width;
    mode.height = rect ? int(rect->height) : monitor->height;
    mode.refreshRate = monitor->refreshRate;
    return {mode};
}

DisplayResult<std::unique_ptr<DisplayConfiguration>> MutterDisplayService::beginConfiguration() {
    return {std::make_unique<Configuration>(*this), DisplayError::success};
}

}  // namespace vl
