// input: pointer targets of this desktop — windows under a point, their edges and title bars,
// raised and moved through the window manager; scroll thumbs and dividers inside windows through
// the accessibility service when there is one (none otherwise).
#pragma once

#include "input/ElementQueries.h"
#include "input/PointerTargets.h"
#include "platform/windows/Interface.h"

#include <chrono>
#include <memory>

namespace vl {

class WindowPointerTargets final : public PointerTargets {
  public:
    explicit WindowPointerTargets(std::shared_ptr<WindowService> windows,
                                  std::shared_ptr<AccessibilityService> accessibility = nullptr);

    std::optional<ScrollThumbAxis> scrollThumbAxis(DisplayPoint point) override;
    bool isScreenshotSelectionActive() override { return false; }
    std::optional<ResizeTarget> axResizeTarget(DisplayPoint point) override;
    std::optional<DisplayPoint> snapToDivider(DisplayPoint point) override;
    std::optional<DragTarget> axWindowForDrag(DisplayPoint point) override;
    std::optional<std::uint32_t> raiseWindowAtPoint(DisplayPoint point) override;
    std::optional<int> setWindowPosition(WindowElement element, DisplayPoint origin) override;
    std::optional<int> setWindowSize(WindowElement element, double width, double height) override;

    // The frontmost application window containing the point.
    std::optional<WindowRecord> windowUnderCursor(DisplayPoint point);

  private:
    struct Requested {
        WindowElement element = 0;
        DisplayRect frame;
        std::chrono::steady_clock::time_point at;
    };
    std::optional<int> setFrame(WindowElement element, const DisplayRect& frame);
    // The frame last asked for while the window manager may not have applied it yet.
    std::optional<DisplayRect> currentFrame(WindowElement element);
    std::shared_ptr<WindowService> windows_;
    std::optional<Requested> requested_;
    std::optional<ElementQueries> elements_;
};

}  // namespace vl
