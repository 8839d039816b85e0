#include "libPhantomScreen/platform/mutter/MutterVirtualDisplays.h"

#include <cmath>

namespace vl::ps {

class MutterVirtualDisplays::Display final : public VirtualDisplay {
  public:
    Display(MutterVirtualDisplays& platform, VirtualDisplayDescriptor descriptor)
        : platform_(platform), descriptor_(std::move(descriptor)) {}
    ~Display() override { removeMonitor(); }

    DisplayID displayID() const override { return id_; }
    const VirtualDisplayDescriptor& descriptor() const override { return descriptor_; }

    bool applySettings(const VirtualDisplaySettings& settings) override {
        if (settings.modes.empty()) return false;
        const VirtualDisplayMode& mode = settings.modes.front();
        if (mode.width == 0 || mode.height == 0) return false;
        if (mode.width > descriptor_.maxPixelsWide || mode.height > descriptor_.maxPixelsHigh)
            return false;
        if (auto shown = platform_.monitors_->find(id_);
            shown && std::uint32_t(shown->width()) == mode.width &&
            std::uint32_t(shown->height()) == mode.height)
            return true;
        // A monitor's size is its stream's: another size is another monitor.
        removeMonitor();
        MutterVirtualMonitor::Options options;
        options.width = int(mode.width);
        options.height = int(mode.height);
        options.framesPerSecond = mode.refreshRate >= 1 ? int(std::lround(mode.refreshRate)) : 60;
        options.identity = {descriptor_.vendorID, descriptor_.productID, descriptor_.serialNum,
                            descriptor_.name};
        std::string error;
        auto monitor = platform_.monitors_->add(options, &error);
        if (!monitor) {
            if (platform_.report_)
                platform_.report_("Mutter made no " + std::to_string(mode.width) + "x" +
                                  std::to_string(mode.height) + " virtual monitor: " + error);
            return false;
        }
        id_ = monitor->displayID();
        return true;
    }

  private:
    void removeMonitor() {
        if (id_ == nullDisplayID) return;
        platform_.monitors_->remove(id_);
        id_ = nullDisplayID;
    }

    MutterVirtualDisplays& platform_;
    VirtualDisplayDescriptor descriptor_;
    DisplayID id_ = nullDisplayID;
};

MutterVirtualDisplays::MutterVirtualDisplays(std::shared_ptr<MutterMonitors> monitors,
                                             std::shared_ptr<DisplayService> displays, Warp warp,
                                             Report report)
    : monitors_(std::move(monitors)),
      displays_(std::move(displays)),
      warp_(std::move(warp)),
      report_(std::move(report)) {}

std::unique_ptr<VirtualDisplay> MutterVirtualDisplays::createDisplay(
    const VirtualDisplayDescriptor& descriptor) {
    return std::make_unique<Display>(*this, descriptor);
}

void MutterVirtualDisplays::warpCursor(DisplayPoint point) {
    if (warp_) warp_(point);
}

}  // namespace vl::ps
