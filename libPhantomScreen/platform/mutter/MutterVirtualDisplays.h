// libPhantomScreen/platform/mutter: virtual displays on a GNOME Wayland session. A display is a
// virtual monitor of Mutter — a recorded virtual stream at the first mode's size and rate, whose
// consumer is also the display's capture — made when its settings are applied and gone when the
// display is destroyed. The host runs the Mutter backends itself and hands the library this
// platform, so capture and input find the monitors the library made.
#pragma once

#include "libPhantomScreen/platform/Interface.h"
#include "platform/mutter/MutterVirtualMonitor.h"

#include <functional>
#include <memory>
#include <string>

namespace vl::ps {

class MutterVirtualDisplays final : public VirtualDisplayPlatform {
  public:
    using Report = std::function<void(const std::string&)>;
    using Warp = std::function<void(DisplayPoint)>;

    MutterVirtualDisplays(std::shared_ptr<MutterMonitors> monitors,
                          std::shared_ptr<DisplayService> displays, Warp warp, Report report);

    std::unique_ptr<VirtualDisplay> createDisplay(
        const VirtualDisplayDescriptor& descriptor) override;
    DisplayService& displays() override { return *displays_; }
    void warpCursor(DisplayPoint point) override;

  private:
    class Display;

    std::shared_ptr<MutterMonitors> monitors_;
    std::shared_ptr<DisplayService> displays_;
    Warp warp_;
    Report report_;
};

}  // namespace vl::ps
