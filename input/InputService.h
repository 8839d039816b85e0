// input: the session's input injection — the client's pointer gestures, keys and scroll replayed
// on the desktop through the events service, and the cursor kept inside the virtual displays
// while a session streams. Called on the main queue only; all state lives there.
#pragma once

#include "base/DispatchQueue.h"
#include "base/DispatchTimer.h"
#include "base/TimerClock.h"
#include "comm/SessionEnvironment.h"
#include "input/PointerTargets.h"
#include "platform/events/Interface.h"

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace vl {

class InputService final : public InputInjection,
                           public std::enable_shared_from_this<InputService> {
  public:
    struct Services {
        std::shared_ptr<EventsService> events;
        std::shared_ptr<DisplayService> displays;
        // Null: no targets, plain events only.
        std::shared_ptr<PointerTargets> targets;
        // The session's virtual displays, in list order (absent entries are skipped).
        std::function<std::vector<std::optional<DisplayID>>()> virtualDisplayIDs;
        // Moves the active window to the next display when a drag crossed an edge; whether it did.
        std::function<bool(bool movingRight)> snapActiveWindowIfCrossedDisplay;
        // The newer desktop behaviour: raise at the press, title-bar moves by window operations.
        std::function<bool()> raisesAtPress;
        // Whether an input method (rather than a plain layout) takes the keys.
        std::function<bool()> imeInputSourceActive;
        // Seconds of uptime for click counting; the steady clock when empty.
        std::function<double()> systemUptime;
        double doubleClickInterval = 0.5;
        DispatchQueue* queue = nullptr;  // the main queue when null
        TimerClock* clock = nullptr;     // the real clock when null
    };

    // Most characters one key event types; longer text is cut and reported.
    static constexpr std::size_t maxCharacters = 256;

    static std::shared_ptr<InputService> make(Services services);
    ~InputService() override;

    // InputInjection
    void handleMouseEvent(const MouseEvent& event, DisplayID display) override;
    void handleMiceWheel(const MouseScroll& scroll) override;
    void handleKeyboard(const KeyboardEvent& event) override;
    void startConstrainingCursor(DisplayID display) override;
    // Also releases every button and key the client left held.
    void stopConstrainingCursor() override;

    void postMouseMove(DisplayPoint point);
    void postMouseDown(MouseButton button, DisplayPoint point);
    void postMouseDrag(MouseButton button, DisplayPoint point);
    void postMouseUp(MouseButton button, DisplayPoint point);
    void postSyntheticClick(MouseButton button, DisplayPoint point);
    void releaseSyntheticPress(MouseButton button, DisplayPoint point);
    void clampCursorInsideConstrainedDisplay();
    void applyResize(const AXResize& resize, DisplayPoint point);
    // Ups for held buttons and key codes, so nothing stays pressed after the client is gone.
    void releaseHeldInput();

    bool isButtonActive(MouseButton button) const;

  private:
    struct WindowGrab {
        WindowElement element = 0;
        DisplayPoint grabOffset;
    };
    struct ThumbLock {
        ScrollThumbAxis axis = ScrollThumbAxis::vertical;
        double locked = 0;
    };
    // One button's gesture state.
    struct ButtonState {
        bool active = false;  // a down was posted and no up yet
        std::optional<DisplayPoint> lastDragPoint;
        std::optional<WindowGrab> axDragState;
        std::optional<double> lastMouseDownTime;
        std::optional<DisplayPoint> lastMouseDownPoint;
        std::optional<std::int64_t> currentClickState;
        std::optional<std::uint32_t> lastDownWindow;
        std::optional<WindowGrab> pendingTitleDrag;
        std::optional<AXResize> pendingResize;
        std::optional<AXResize> axResizeState;
        std::optional<DisplayPoint> pendingDividerSnap;
        std::optional<ThumbLock> scrollThumbDrag;

        // Forgets what the last press started (a window move or resize, a pending edge, divider
        // or title-bar grab, a thumb lock); the click history stays.
        void endGesture() {
            lastDragPoint.reset();
            axDragState.reset();
            axResizeState.reset();
            pendingTitleDrag.reset();
            pendingResize.reset();
            pendingDividerSnap.reset();
            scrollThumbDrag.reset();
        }
    };

    explicit InputService(Services services);
    ButtonState& state(MouseButton button) { return buttons_[static_cast<std::size_t>(button)]; }
    bool newer() const;
    double uptime() const;
    DisplayPoint locked(MouseButton button, DisplayPoint point);
    PointerEvent buttonEvent(MouseButton button, int phase, DisplayPoint point) const;
    void continueWindowMove(MouseButton button, DisplayPoint point);
    void postDownEvent(MouseButton button, DisplayPoint point, std::int64_t clickState,
                       std::optional<std::uint32_t> window);
    void postPlainDrag(MouseButton button, DisplayPoint point);
    bool crossedDisplay(double dx);
    std::vector<DisplayRect> phantomScreenRects();

    Services services_;
    std::array<ButtonState, 3> buttons_;
    std::int64_t mouseEventNumber_ = 0;
    std::shared_ptr<DispatchTimer> cursorConstraintTimer_;
    std::optional<DisplayID> constrainedDisplayID_;
    std::set<std::uint16_t> heldKeys_;
};

}  // namespace vl
