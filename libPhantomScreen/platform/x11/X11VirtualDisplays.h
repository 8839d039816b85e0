// libPhantomScreen/platform/x11: virtual displays on an X server. Where the driver offers spare
// outputs (the dummy driver's DUMMY1..DUMMY15) a display is a spare output switched on with RandR
// modes of the requested size, placed beside the others, with the framebuffer resized to fit.
// Elsewhere (a real GPU's server) it is a RandR 1.5 monitor without outputs in an enlarged
// framebuffer: applications see it, no screen shows it. Either way its identity is kept in a
// root-window record that every X client can read.
#pragma once

#include "libPhantomScreen/platform/Interface.h"
#include "platform/display/x11/RandrScreen.h"
#include "platform/display/x11/X11DisplayService.h"

#include <functional>
#include <mutex>
#include <set>

namespace vl::ps {

class X11VirtualDisplays final : public VirtualDisplayPlatform {
  public:
    using Report = std::function<void(const std::string&)>;

    explicit X11VirtualDisplays(std::string displayName = {}, Report report = {});

    std::unique_ptr<VirtualDisplay> createDisplay(
        const VirtualDisplayDescriptor& descriptor) override;
    DisplayService& displays() override { return displays_; }
    void warpCursor(DisplayPoint point) override;

  private:
    class Display;
    friend class Display;

    bool apply(Display& display, const VirtualDisplaySettings& settings);
    bool applyMonitor(Display& display, const VirtualDisplaySettings& settings);
    void remove(Display& display);
    // Whether the X server the display was made on is the one connected now (after a snapshot).
    bool onItsServer(const Display& display) const;
    std::unique_ptr<VirtualDisplay> createMonitor(const VirtualDisplayDescriptor& descriptor,
                                                  const std::vector<x11::VirtualIdentity>& taken);
    void reportRangeCheck(const VirtualDisplayMode& mode, const x11::ScreenSnapshot& snap);
    // The RandR mode for w x h at the rate, created when the server has none of that name.
    std::optional<xcb_randr_mode_t> modeFor(const x11::ScreenSnapshot& snap,
                                            const VirtualDisplayMode& mode);
    void dropModes(xcb_randr_output_t output, const std::vector<xcb_randr_mode_t>& modes);

    Report report_;
    std::mutex mutex_;
    x11::RandrScreen screen_;
    X11DisplayService displays_;
    std::set<std::uint32_t> claimed_;
    bool monitorFallbackReported_ = false;
};

// Timing of a w x h mode at `rate` Hz with reduced blanking. RandR's 32-bit dot clock caps the
// rate of the largest modes; the rate actually reached is returned beside the mode.
xcb_randr_mode_info_t modeTiming(std::uint16_t width, std::uint16_t height, double rate);

}  // namespace vl::ps
