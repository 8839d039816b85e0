// The desktop a session benchmark runs on, X11 or GNOME on Wayland, behind one face: the capture
// service of its display, a test client that draws a desktop-like picture which scrolls and a
// square which toggles, and the compositor's process for its share of the machine.
#pragma once

#include "base/DispatchQueue.h"
#include "platform/capture/Interface.h"

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vl::bench {

enum class DesktopKind { x11, mutter };
const char* description(DesktopKind kind);
std::optional<DesktopKind> desktopKindNamed(const std::string& name);

// A desktop-like picture, BGRA: flat panels, text-like stripes and a gradient.
std::vector<std::uint8_t> desktopBGRA(int width, int height);

class BenchDesktop {
  public:
    virtual ~BenchDesktop() = default;

    // A private desktop of that size showing the picture, or null (`error` says why). `fps` is
    // the rate the monitor is made for where the desktop has one per stream.
    static std::unique_ptr<BenchDesktop> start(DesktopKind kind, int width, int height, int fps,
                                               std::string* error);

    virtual std::string name() const = 0;
    virtual std::shared_ptr<CaptureService> captureService() = 0;
    // The processes that draw the screen (X server; Mutter and PipeWire), for their CPU time.
    virtual std::vector<pid_t> compositorProcesses() const = 0;
    virtual const char* compositorName() const = 0;

    // Each returns once the display server has the new picture, and when that was.
    // The picture scrolled by `step` columns.
    virtual Clock::time_point scroll(int step) = 0;
    // A 256x256 square in the middle, white or black.
    virtual Clock::time_point square(bool white) = 0;
};

}  // namespace vl::bench
