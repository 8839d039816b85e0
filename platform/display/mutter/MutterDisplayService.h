// platform/display/mutter: the display arrangement of a GNOME Wayland session — Mutter's monitors
// from DisplayConfig, each known by the id of its connector, with the identity the server gave its
// own virtual monitors. Mutter keeps no mirrors here and sizes a virtual monitor by its stream, so
// a configuration only moves monitors; it is applied as one new layout for this session.
#pragma once

#include "platform/display/Interface.h"
#include "platform/mutter/MutterDisplayConfig.h"
#include "platform/mutter/MutterVirtualMonitor.h"

#include <functional>
#include <memory>
#include <string>

namespace vl {

class MutterDisplayService final : public DisplayService {
  public:
    using Report = std::function<void(const std::string&)>;

    MutterDisplayService(std::shared_ptr<MutterMonitors> monitors, Report report);

    DisplayResult<std::vector<DisplayID>> activeDisplayList(std::uint32_t max) override;
    DisplayResult<std::vector<DisplayID>> onlineDisplayList(std::uint32_t max) override;
    DisplayResult<std::vector<DisplayID>> displaysWithPoint(DisplayPoint point,
                                                            std::uint32_t max) override;
    DisplayRect bounds(DisplayID display) override;
    bool isOnline(DisplayID display) override;
    std::uint32_t vendorNumber(DisplayID display) override;
    std::uint32_t modelNumber(DisplayID display) override;
    std::uint32_t serialNumber(DisplayID display) override;
    DisplayID mainDisplay() override;
    DisplayID mirrorsDisplay(DisplayID display) override;
    bool isInMirrorSet(DisplayID display) override;
    std::vector<DisplayMode> modes(DisplayID display) override;
    DisplayResult<std::unique_ptr<DisplayConfiguration>> beginConfiguration() override;

    // Where a monitor of the state sits on the desktop; none when it shows nothing.
    static std::optional<DisplayRect> boundsIn(const MutterDisplayState& state,
                                               const std::string& connector);
    // `layout` with every region that starts one unit right of another's right edge moved onto
    // that edge: Mutter takes only layouts without gaps.
    static void closeGaps(std::vector<MutterLogicalMonitor>& layout,
                          const MutterDisplayState& state);

  private:
    class Configuration;
    std::optional<MutterDisplayState> state();
    std::optional<VirtualMonitorIdentity> ours(DisplayID display) const;

    std::shared_ptr<MutterMonitors> monitors_;
    Report report_;
};

}  // namespace vl
