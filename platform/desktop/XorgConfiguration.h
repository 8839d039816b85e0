// platform/desktop: the generated configuration of the headless Xorg — the dummy driver with a
// framebuffer large enough for the main display plus the virtual displays beside it, within X's
// 32767-pixel limit.
#pragma once

#include <cstdint>
#include <string>

namespace vl {

struct DesktopGeometry {
    int mainWidth = 1920;  // the desktop's own display, DUMMY0
    int mainHeight = 1080;
    // The virtual display library's largest mode (either orientation) and how many may be on.
    int largestModeLongSide = 8160;
    int maxVirtualDisplays = 5;
};

struct FramebufferSize {
    int width = 0;
    int height = 0;
    std::uint64_t videoRamKiB = 0;
    bool operator==(const FramebufferSize&) const = default;
};

// X coordinates are 16-bit signed; the dummy driver wants a width that is a multiple of 8.
inline constexpr int xMaxFramebufferSide = 32760;

FramebufferSize framebufferFor(const DesktopGeometry& geometry);
std::string xorgConfiguration(const DesktopGeometry& geometry);

}  // namespace vl
