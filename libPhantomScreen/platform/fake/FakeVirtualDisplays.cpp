#include "libPhantomScreen/platform/fake/FakeVirtualDisplays.h"

#include <algorithm>

namespace vl::ps {

class FakeVirtualDisplays::Display final : public VirtualDisplay {
  public:
    Display(FakeVirtualDisplays& owner, DisplayID id, VirtualDisplayDescriptor descriptor)
        : owner_(owner), id_(id), descriptor_(std::move(descriptor)) {}
    ~Display() override { owner_.arrangement_.removeDisplay(id_); }

    DisplayID displayID() const override { return id_; }
    const VirtualDisplayDescriptor& descriptor() const override { return descriptor_; }

    bool applySettings(const VirtualDisplaySettings& settings) override {
        {
            std::lock_guard lock(owner_.mutex_);
            if (owner_.refuses_ || settings.modes.empty()) return false;
            owner_.settings_[id_] = settings;
        }
        auto& arrangement = owner_.arrangement_;
        const auto& first = settings.modes.front();
        std::vector<DisplayMode> modes;
        for (const auto& m : settings.modes)
            modes.push_back(DisplayMode{std::uint32_t(modes.size() + 1), int(m.width),
                                        int(m.height), int(m.width), int(m.height), m.refreshRate});
        if (arrangement.display(id_)) {
            arrangement.update(id_, [&](FakeDisplayService::Display& d) {
                d.bounds.width = first.width;
                d.bounds.height = first.height;
                d.modes = modes;
            });
            return true;
        }
        // A new display joins to the right of the others.
        double right = 0;
        for (auto id : arrangement.onlineDisplayList(maxDisplays).value)
            right = std::max(right, arrangement.bounds(id).maxX());
        auto display = FakeDisplayService::make(
            id_, DisplayRect{right, 0, double(first.width), double(first.height)});
        display.vendor = descriptor_.vendorID;
        display.model = descriptor_.productID;
        display.serial = descriptor_.serialNum;
        display.modes = modes;
        arrangement.addDisplay(display);
        return true;
    }

  private:
    FakeVirtualDisplays& owner_;
    DisplayID id_;
    VirtualDisplayDescriptor descriptor_;
};

std::unique_ptr<VirtualDisplay> FakeVirtualDisplays::createDisplay(
    const VirtualDisplayDescriptor& descriptor) {
    std::lock_guard lock(mutex_);
    ++created_;
    return std::make_unique<Display>(*this, nextID_++, descriptor);
}

void FakeVirtualDisplays::warpCursor(DisplayPoint point) {
    std::lock_guard lock(mutex_);
    warps_.push_back(point);
}

std::optional<VirtualDisplaySettings> FakeVirtualDisplays::settings(DisplayID id) const {
    std::lock_guard lock(mutex_);
    auto it = settings_.find(id);
    if (it == settings_.end()) return std::nullopt;
    return it->second;
}

std::vector<DisplayPoint> FakeVirtualDisplays::warps() const {
    std::lock_guard lock(mutex_);
    return warps_;
}

int FakeVirtualDisplays::created() const {
    std::lock_guard lock(mutex_);
    return created_;
}

void FakeVirtualDisplays::setRefusesSettings(bool refuses) {
    std::lock_guard lock(mutex_);
    refuses_ = refuses;
}

}  // namespace vl::ps
