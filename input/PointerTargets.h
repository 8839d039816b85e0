// input: what the pointer gestures ask of the windows and accessibility elements under a point
// (scroll thumbs, window edges, title bars, dividers) and the window operations they perform.
// Every query may answer none; the gestures then fall back to plain events.
#pragma once

#include "platform/display/Interface.h"

#include <cstdint>
#include <optional>

namespace vl {

enum class ScrollThumbAxis { vertical, horizontal };

// Edges of a window frame grabbed by a point; corners are unions.
enum ResizeEdge : std::uint8_t { resizeLeft = 1, resizeRight = 2, resizeTop = 4, resizeBottom = 8 };
using ResizeEdges = std::uint8_t;

// A window as the window operations address it.
using WindowElement = std::uint64_t;

struct AXResize {
    WindowElement element = 0;
    DisplayRect initialFrame;
    DisplayPoint grab;
    ResizeEdges edges = 0;
    bool operator==(const AXResize&) const = default;
};

struct ResizeTarget {
    WindowElement element = 0;
    DisplayRect frame;
    ResizeEdges edges = 0;
};

struct DragTarget {
    WindowElement element = 0;
    DisplayRect frame;
};

class PointerTargets {
  public:
    virtual ~PointerTargets() = default;
    virtual std::optional<ScrollThumbAxis> scrollThumbAxis(DisplayPoint point) = 0;
    // Whether a screen-area selection for a screenshot is on screen.
    virtual bool isScreenshotSelectionActive() = 0;
    // Raises the window whose resizable edge is under the point.
    virtual std::optional<ResizeTarget> axResizeTarget(DisplayPoint point) = 0;
    // The exact point of a split-view divider or column boundary near the point.
    virtual std::optional<DisplayPoint> snapToDivider(DisplayPoint point) = 0;
    // Raises the window under the point for a title-bar move.
    virtual std::optional<DragTarget> axWindowForDrag(DisplayPoint point) = 0;
    // Raises and focuses the window under the point; its window number.
    virtual std::optional<std::uint32_t> raiseWindowAtPoint(DisplayPoint point) = 0;
    // An error code when the window could not be moved or sized.
    virtual std::optional<int> setWindowPosition(WindowElement element, DisplayPoint origin) = 0;
    virtual std::optional<int> setWindowSize(WindowElement element, double width,
                                             double height) = 0;
};

// No windows or elements known: every query answers none.
class NoPointerTargets final : public PointerTargets {
  public:
    std::optional<ScrollThumbAxis> scrollThumbAxis(DisplayPoint) override { return {}; }
    bool isScreenshotSelectionActive() override { return false; }
    std::optional<ResizeTarget> axResizeTarget(DisplayPoint) override { return {}; }
    std::optional<DisplayPoint> snapToDivider(DisplayPoint) override { return {}; }
    std::optional<DragTarget> axWindowForDrag(DisplayPoint) override { return {}; }
    std::optional<std::uint32_t> raiseWindowAtPoint(DisplayPoint) override { return {}; }
    std::optional<int> setWindowPosition(WindowElement, DisplayPoint) override { return -1; }
    std::optional<int> setWindowSize(WindowElement, double, double) override { return -1; }
};

}  // namespace vl
