#include "input/WindowPointerTargets.h"

#include "base/Log.h"
#include "input/ResizeGeometry.h"

namespace vl {
namespace {

// Longer than a window manager takes to apply a request, shorter than a person's next gesture.
constexpr auto requestedFrameLifetime = std::chrono::milliseconds(500);

bool usable(const WindowRecord& window) {
    return window.layer() == 0 && window.id != 0 && window.frame.width > 0 &&
           window.frame.height > 0;
}

// Grown by a pixel so the right and bottom edges count as inside, as the frame's own edges do.
bool within(const DisplayRect& frame, DisplayPoint point) {
    return point.x >= frame.minX() && point.x <= frame.maxX() && point.y >= frame.minY() &&
           point.y <= frame.maxY();
}

}  // namespace

WindowPointerTargets::WindowPointerTargets(std::shared_ptr<WindowService> windows,
                                           std::shared_ptr<AccessibilityService> accessibility)
    : windows_(std::move(windows)) {
    if (accessibility) elements_.emplace(std::move(accessibility));
}

std::optional<ScrollThumbAxis> WindowPointerTargets::scrollThumbAxis(DisplayPoint point) {
    return elements_ ? elements_->scrollThumbAxis(point) : std::nullopt;
}

std::optional<DisplayPoint> WindowPointerTargets::snapToDivider(DisplayPoint point) {
    return elements_ ? elements_->snapToDivider(point) : std::nullopt;
}

std::optional<WindowRecord> WindowPointerTargets::windowUnderCursor(DisplayPoint point) {
    for (const WindowRecord& window : windows_->windowList())
        if (usable(window) && within(window.frame, point)) return window;
    return std::nullopt;
}

std::optional<std::uint32_t> WindowPointerTargets::raiseWindowAtPoint(DisplayPoint point) {
    auto window = windowUnderCursor(point);
    if (!window) return std::nullopt;
    // Raising the focused window again would change nothing but cost a round trip.
    if (windows_->focusedWindow() != window->id) {
        if (WindowError error = windows_->raise(window->id); error != WindowError::success)
            logMsg("🟩 raiseWindowAtPoint: window " + std::to_string(window->id) +
                   " not raised: " + description(error));
    }
    return window->id;
}

std::optional<DragTarget> WindowPointerTargets::axWindowForDrag(DisplayPoint point) {
    auto window = windowUnderCursor(point);
    if (!window) {
        logMsg("🟥 axWindowForDrag: no window at " + describe(point));
        return std::nullopt;
    }
    if (windows_->focusedWindow() != window->id) windows_->raise(window->id);
    return DragTarget{window->id, window->frame};
}

std::optional<ResizeTarget> WindowPointerTargets::axResizeTarget(DisplayPoint point) {
    for (const WindowRecord& window : windows_->windowList()) {
        if (!usable(window)) continue;
        const ResizeEdges edges = resizeEdges(point, window.frame);
        if (edges != 0) {
            if (windows_->focusedWindow() != window.id) windows_->raise(window.id);
            return ResizeTarget{window.id, window.frame, edges};
        }
        // The topmost window under the point is not at its edge: nothing below it is reachable.
        if (within(window.frame, point)) return std::nullopt;
    }
    return std::nullopt;
}

std::optional<int> WindowPointerTargets::setFrame(WindowElement element, const DisplayRect& frame) {
    const WindowError error = windows_->setFrame(static_cast<WindowID>(element), frame);
    if (error != WindowError::success) {
        requested_.reset();
        return static_cast<int>(error);
    }
    requested_ = Requested{element, frame, std::chrono::steady_clock::now()};
    return std::nullopt;
}

// A resize sets the size and then the position: the second must build on the first even before
// the window manager has applied it, or it would put the old size back.
std::optional<DisplayRect> WindowPointerTargets::currentFrame(WindowElement element) {
    if (requested_ && requested_->element == element &&
        std::chrono::steady_clock::now() - requested_->at < requestedFrameLifetime)
        return requested_->frame;
    return windows_->frame(static_cast<WindowID>(element));
}

std::optional<int> WindowPointerTargets::setWindowPosition(WindowElement element,
                                                           DisplayPoint origin) {
    auto frame = currentFrame(element);
    if (!frame) return static_cast<int>(WindowError::notFound);
    return setFrame(element, {origin.x, origin.y, frame->width, frame->height});
}

std::optional<int> WindowPointerTargets::setWindowSize(WindowElement element, double width,
                                                       double height) {
    auto frame = currentFrame(element);
    if (!frame) return static_cast<int>(WindowError::notFound);
    return setFrame(element, {frame->x, frame->y, width, height});
}

}  // namespace vl
