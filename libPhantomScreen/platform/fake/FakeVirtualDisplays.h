// libPhantomScreen/platform/fake: virtual displays that join a fake display arrangement.
#pragma once

#include "libPhantomScreen/platform/Interface.h"
#include "platform/display/fake/FakeDisplayService.h"

#include <map>
#include <mutex>

namespace vl::ps {

class FakeVirtualDisplays final : public VirtualDisplayPlatform {
  public:
    explicit FakeVirtualDisplays(FakeDisplayService& arrangement) : arrangement_(arrangement) {}

    std::unique_ptr<VirtualDisplay> createDisplay(
        const VirtualDisplayDescriptor& descriptor) override;
    DisplayService& displays() override { return arrangement_; }
    void warpCursor(DisplayPoint point) override;

    // Settings last applied to a display, by id.
    std::optional<VirtualDisplaySettings> settings(DisplayID id) const;
    std::vector<DisplayPoint> warps() const;
    int created() const;
    // Every later settings application fails.
    void setRefusesSettings(bool refuses);

  private:
    class Display;
    FakeDisplayService& arrangement_;
    mutable std::mutex mutex_;
    DisplayID nextID_ = 0x100;
    int created_ = 0;
    bool refuses_ = false;
    std::map<DisplayID, VirtualDisplaySettings> settings_;
    std::vector<DisplayPoint> warps_;
};

}  // namespace vl::ps
