// platform/display: the display arrangement — active and online displays, their bounds, identity
// and modes, the main display, and configuration transactions (mirroring, origin, mode).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vl {

// Stable 32-bit display identifier; 0 is "no display" (the null display of mirroring).
using DisplayID = std::uint32_t;
inline constexpr DisplayID nullDisplayID = 0;
inline constexpr std::uint32_t maxDisplays = 32;

struct DisplayPoint {
    double x = 0;
    double y = 0;
    bool operator==(const DisplayPoint&) const = default;
};

// Global bounds: origin top-left, y grows downwards.
struct DisplayRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double minX() const { return x; }
    double minY() const { return y; }
    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    bool contains(DisplayPoint p) const {
        return p.x >= x && p.x < maxX() && p.y >= y && p.y < maxY();
    }
    bool operator==(const DisplayRect&) const = default;
};

// Text of a point as the reports show it: "(1920.0, 0.0)".
std::string describe(DisplayPoint point);

struct DisplayMode {
    std::uint32_t id = 0;  // backend handle of the mode
    int pixelWidth = 0;
    int pixelHeight = 0;
    int width = 0;  // in points
    int height = 0;
    double refreshRate = 0;
    bool operator==(const DisplayMode&) const = default;
};

enum class DisplayError {
    success,
    failure,
    illegalArgument,
    invalidConnection,
    invalidOperation,
    notSupported,
    rangeCheck,
};
const char* description(DisplayError error);

template <typename T>
struct DisplayResult {
    T value{};
    DisplayError error = DisplayError::success;
    bool ok() const { return error == DisplayError::success; }
};

enum class ConfigureOption { forAppOnly, forSession, permanently };

// One configuration transaction: changes are collected and take effect together at complete().
class DisplayConfiguration {
  public:
    virtual ~DisplayConfiguration() = default;
    // master nullDisplayID takes the display out of any mirror set.
    virtual DisplayError configureMirrorOfDisplay(DisplayID display, DisplayID master) = 0;
    virtual DisplayError configureDisplayOrigin(DisplayID display, std::int32_t x,
                                                std::int32_t y) = 0;
    virtual DisplayError configureDisplayWithMode(DisplayID display, const DisplayMode& mode) = 0;
    virtual DisplayError complete(ConfigureOption option) = 0;
    // Drops the collected changes; nothing is applied.
    virtual void cancel() = 0;
};

class DisplayService {
  public:
    virtual ~DisplayService() = default;

    // Displays that can be drawn to, at most `max`.
    virtual DisplayResult<std::vector<DisplayID>> activeDisplayList(
        std::uint32_t max = maxDisplays) = 0;
    // Displays connected to the system, drawable or not, at most `max`.
    virtual DisplayResult<std::vector<DisplayID>> onlineDisplayList(
        std::uint32_t max = maxDisplays) = 0;
    // Displays whose bounds contain the point, at most `max`.
    virtual DisplayResult<std::vector<DisplayID>> displaysWithPoint(DisplayPoint point,
                                                                    std::uint32_t max) = 0;

    // An unknown display has empty bounds, is not online and has vendor and model 0.
    virtual DisplayRect bounds(DisplayID display) = 0;
    virtual bool isOnline(DisplayID display) = 0;
    virtual std::uint32_t vendorNumber(DisplayID display) = 0;
    virtual std::uint32_t modelNumber(DisplayID display) = 0;
    virtual std::uint32_t serialNumber(DisplayID display) = 0;
    virtual DisplayID mainDisplay() = 0;
    // The display this one mirrors, nullDisplayID when none.
    virtual DisplayID mirrorsDisplay(DisplayID display) = 0;
    virtual bool isInMirrorSet(DisplayID display) = 0;
    virtual std::vector<DisplayMode> modes(DisplayID display) = 0;

    virtual DisplayResult<std::unique_ptr<DisplayConfiguration>> beginConfiguration() = 0;
};

}  // namespace vl
