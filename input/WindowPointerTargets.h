// input: pointer targets found through the window list alone — windows under a point, their
// edges and title bars, raised and moved through the window manager. Elements inside windows
// (scroll thumbs, dividers) need accessibility, which this does not have: those answer none.
#pragma once

#include "input/PointerTargets.h"
#include "platform/windows/Interface.h"

#include <memory>

namespace vl {

class WindowPointerTargets final : public PointerTargets {
  public:
    explicit WindowPointerTargets(std::shared_ptr<WindowService> windows);

    std::optional<ScrollThumbAxis> scrollThumbAxis(DisplayPoint) override { return {}; }
    bool isScreenshotSelectionActive() override { return false; }
    std::optional<ResizeTarget> axResizeTarget(DisplayPoint point) override;
    std::optional<DisplayPoint> snapToDivider(DisplayPoint) override { return {}; }
    std::optional<DragTarget> axWindowForDrag(DisplayPoint point) override;
    std::optional<std::uint32_t> raiseWindowAtPoint(DisplayPoint point) override;
    std::optional<int> setWindowPosition(WindowElement element, DisplayPoint origin) override;
    std::optional<int> setWindowSize(WindowElement element, double width, double height) override;

    // The frontmost application window containing the point.
    std::optional<WindowRecord> windowUnderCursor(DisplayPoint point);

  private:
    std::optional<int> setFrame(WindowElement element, const DisplayRect& frame);
    std::shared_ptr<WindowService> windows_;
};

}  // namespace vl
