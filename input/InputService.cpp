#include "input/InputService.h"

#include "base/Log.h"
#include "input/KeyCodes.h"
#include "input/ResizeGeometry.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>

namespace vl {
namespace {

constexpr double doubleClickDistance = 6.0;
constexpr double titleBarBand = 52.0;
constexpr auto confinementTick = std::chrono::milliseconds(16);
constexpr std::array<MouseButton, 3> allButtons{MouseButton::left, MouseButton::right,
                                                MouseButton::middle};

enum Phase { down = 0, dragged = 1, up = 2 };

PointerEventType eventType(MouseButton button, int phase) {
    static constexpr PointerEventType types[3][3] = {
        {PointerEventType::leftDown, PointerEventType::leftDragged, PointerEventType::leftUp},
        {PointerEventType::rightDown, PointerEventType::rightDragged, PointerEventType::rightUp},
        {PointerEventType::otherDown, PointerEventType::otherDragged, PointerEventType::otherUp},
    };
    return types[static_cast<int>(button)][phase];
}

// At or below 0 gives 0, at or below 1 stays, anything else (not a number included) gives 1.
double clampUnit(double value) {
    if (value <= 0) return 0;
    if (value <= 1) return value;
    return 1;
}

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", value);
    return text;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// Cuts UTF-8 text after `limit` characters; whether it cut.
bool capCharacters(std::string& text, std::size_t limit) {
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (characters++ == limit) {
            text.resize(i);
            return true;
        }
    }
    return false;
}

}  // namespace

std::shared_ptr<InputService> InputService::make(Services services) {
    return std::shared_ptr<InputService>(new InputService(std::move(services)));
}

InputService::InputService(Services services) : services_(std::move(services)) {
    if (!services_.targets) services_.targets = std::make_shared<NoPointerTargets>();
    if (!services_.snapActiveWindowIfCrossedDisplay)
        services_.snapActiveWindowIfCrossedDisplay = [](bool) { return false; };
    if (!services_.raisesAtPress) services_.raisesAtPress = [] { return true; };
    if (!services_.imeInputSourceActive) services_.imeInputSourceActive = [] { return false; };
    if (!services_.virtualDisplayIDs)
        services_.virtualDisplayIDs = [] { return std::vector<std::optional<DisplayID>>{}; };
}

InputService::~InputService() {
    if (cursorConstraintTimer_) {
        cursorConstraintTimer_->setEventHandler([] {});
        cursorConstraintTimer_->cancel();
    }
}

bool InputService::newer() const {
    return services_.raisesAtPress();
}

double InputService::uptime() const {
    if (services_.systemUptime) return services_.systemUptime();
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

bool InputService::isButtonActive(MouseButton button) const {
    return buttons_[static_cast<std::size_t>(button)].active;
}

PointerEvent InputService::buttonEvent(MouseButton button, int phase, DisplayPoint point) const {
    PointerEvent event;
    event.type = eventType(button, phase);
    event.point = point;
    event.buttonNumber = static_cast<int>(button);
    return event;
}

// MARK: - Entry

void InputService::handleMouseEvent(const MouseEvent& event, DisplayID display) {
    const DisplayRect bounds = services_.displays->bounds(display);
    if (!(bounds.width > 0 && bounds.height > 0)) {
        logMsg("🟥 handleMouseEvent: invalid display bounds for display " +
               std::to_string(display));
        return;
    }
    const DisplayPoint point{bounds.minX() + clampUnit(event.horzPosition) * bounds.width,
                             bounds.minY() + clampUnit(event.vertPosition) * bounds.height};
    switch (event.kind) {
        case MouseEventKind::move:
            postMouseMove(point);
            break;
        case MouseEventKind::down:
            postMouseDown(event.button, point);
            break;
        case MouseEventKind::drag:
            postMouseDrag(event.button, point);
            break;
        case MouseEventKind::up:
            postMouseUp(event.button, point);
            break;
    }
}

// MARK: - Gesture steps

void InputService::postMouseMove(DisplayPoint point) {
    // A release was lost: let go of every held button before moving on.
    for (MouseButton button : allButtons) {
        ButtonState& s = state(button);
        if (!s.active) continue;
        logMsg("🟨 postMouseMove: releasing " + std::string(description(button)) +
               " whose release never came");
        services_.events->post(buttonEvent(button, up, point));
        s.active = false;
    }
    for (ButtonState& s : buttons_) s.endGesture();
    if (auto error = services_.events->warp(point)) {
        logMsg("🟥 postMouseMove: failed to warp cursor to " + describe(point) + ": " + *error);
        return;
    }
    PointerEvent hover;
    hover.type = PointerEventType::mouseMoved;
    hover.point = point;
    if (!services_.events->post(hover))
        logMsg("🟥 postMouseMove: failed to create hover event at " + describe(point));
}

void InputService::postMouseDown(MouseButton button, DisplayPoint point) {
    ButtonState& s = state(button);
    // The release of the previous press was lost. A gesture that consumes this press without a
    // posted event (an edge or a divider) would otherwise leave the button held on the desktop.
    if (s.active) {
        logMsg("🟨 postMouseDown: releasing " + std::string(description(button)) +
               " whose release never came");
        services_.events->post(buttonEvent(button, up, point));
        s.active = false;
    }
    // Whatever the previous press started ends with it, even when its release was lost: a stale
    // edge grab would turn this press's drag into a resize whose release is never posted.
    s.endGesture();
    services_.events->warp(point);
    if (button == MouseButton::left || button == MouseButton::right) {
        if (auto axis = services_.targets->scrollThumbAxis(point)) {
            s.scrollThumbDrag =
                ThumbLock{*axis, *axis == ScrollThumbAxis::vertical ? point.x : point.y};
        }
    }
    const bool screenshot = services_.targets->isScreenshotSelectionActive();
    if (!screenshot && !s.scrollThumbDrag && button == MouseButton::left) {
        if (auto target = services_.targets->axResizeTarget(point)) {
            s.pendingResize = AXResize{target->element, target->frame, point, target->edges};
            s.lastDownWindow.reset();
            return;
        }
        if (auto snapped = services_.targets->snapToDivider(point)) {
            s.pendingDividerSnap = *snapped;
            s.lastDownWindow.reset();
            return;
        }
    }

    const double now = uptime();
    std::int64_t clicks = 1;
    if (s.lastMouseDownTime && s.lastMouseDownPoint &&
        now - *s.lastMouseDownTime <= services_.doubleClickInterval &&
        std::hypot(point.x - s.lastMouseDownPoint->x, point.y - s.lastMouseDownPoint->y) <=
            doubleClickDistance)
        clicks = s.currentClickState.value_or(1) + 1;
    s.lastMouseDownTime = now;
    s.lastMouseDownPoint = point;
    s.currentClickState = clicks;

    std::optional<std::uint32_t> window;
    if (newer() && !screenshot) {
        window = services_.targets->raiseWindowAtPoint(point);
        if (button == MouseButton::left) {
            if (auto target = services_.targets->axWindowForDrag(point);
                target && point.y <= target->frame.minY() + titleBarBand)
                s.pendingTitleDrag =
                    WindowGrab{target->element,
                               {point.x - target->frame.minX(), point.y - target->frame.minY()}};
        }
        s.lastDownWindow = window;
    }
    postDownEvent(button, point, clicks, window);
}

void InputService::postDownEvent(MouseButton button, DisplayPoint point, std::int64_t clickState,
                                 std::optional<std::uint32_t> window) {
    PointerEvent event = buttonEvent(button, down, point);
    event.sharedSource = newer();
    event.clickState = clickState;
    event.eventNumber = ++mouseEventNumber_;
    event.pressure = 1.0;
    if (newer()) event.windowNumber = window;
    if (!services_.events->post(event)) {
        logMsg("🟥 postMouseDown: failed to create event for " +
               std::string(description(button)));
        return;
    }
    ButtonState& s = state(button);
    s.active = true;
    s.lastDragPoint = point;
}

DisplayPoint InputService::locked(MouseButton button, DisplayPoint point) {
    const auto& lock = state(button).scrollThumbDrag;
    if (!lock) return point;
    if (lock->axis == ScrollThumbAxis::vertical)
        point.x = lock->locked;
    else
        point.y = lock->locked;
    return point;
}

bool InputService::crossedDisplay(double dx) {
    return dx != 0 && services_.snapActiveWindowIfCrossedDisplay(dx >= 0);
}

void InputService::continueWindowMove(MouseButton button, DisplayPoint point) {
    ButtonState& s = state(button);
    const DisplayPoint origin{point.x - s.axDragState->grabOffset.x,
                              point.y - s.axDragState->grabOffset.y};
    if (auto error = services_.targets->setWindowPosition(s.axDragState->element, origin))
        logMsg("🟥 postMouseDrag: AX setPosition " + describe(origin) +
               " failed err=" + std::to_string(*error));
    services_.events->warp(point);
    const double dx = point.x - (s.lastDragPoint ? s.lastDragPoint->x : point.x);
    if (crossedDisplay(dx)) {
        s.axDragState.reset();
        s.active = false;
        s.lastDragPoint.reset();
    } else {
        s.lastDragPoint = point;
    }
}

void InputService::postMouseDrag(MouseButton button, DisplayPoint point) {
    ButtonState& s = state(button);
    point = locked(button, point);
    if (s.axDragState) return continueWindowMove(button, point);
    if (s.axResizeState) {
        applyResize(*s.axResizeState, point);
        services_.events->warp(point);
        return;
    }
    if (s.pendingTitleDrag) {
        const WindowGrab grab = *s.pendingTitleDrag;
        s.pendingTitleDrag.reset();
        releaseSyntheticPress(button, point);
        s.axDragState = grab;
        return continueWindowMove(button, point);
    }
    if (s.pendingResize) {
        s.axResizeState = std::move(s.pendingResize);
        s.pendingResize.reset();
        applyResize(*s.axResizeState, point);
        services_.events->warp(point);
        return;
    }
    if (s.pendingDividerSnap) {
        const DisplayPoint snapped = *s.pendingDividerSnap;
        s.pendingDividerSnap.reset();
        services_.events->warp(snapped);
        postDownEvent(button, snapped, 1, std::nullopt);
        s.active = true;
        s.lastDragPoint = snapped;
    }
    postPlainDrag(button, point);
}

void InputService::postPlainDrag(MouseButton button, DisplayPoint point) {
    ButtonState& s = state(button);
    if (!newer()) services_.events->warp(point);
    PointerEvent event = buttonEvent(button, dragged, point);
    event.sharedSource = newer();
    event.eventNumber = ++mouseEventNumber_;
    const DisplayPoint from = s.lastDragPoint.value_or(point);
    event.deltaX = point.x - from.x;
    event.deltaY = point.y - from.y;
    event.pressure = 1.0;
    if (!services_.events->post(event)) {
        logMsg("🟥 postMouseDrag: failed to create event for " +
               std::string(description(button)));
        return;
    }
    s.active = true;
    s.lastDragPoint = point;
    if (crossedDisplay(event.deltaX)) {
        services_.events->post(buttonEvent(button, up, point));
        s.active = false;
        s.lastDragPoint.reset();
    }
}

void InputService::postMouseUp(MouseButton button, DisplayPoint point) {
    ButtonState& s = state(button);
    point = locked(button, point);
    if (s.axDragState) {
        const DisplayPoint origin{point.x - s.axDragState->grabOffset.x,
                                  point.y - s.axDragState->grabOffset.y};
        services_.targets->setWindowPosition(s.axDragState->element, origin);
        services_.events->warp(point);
    } else if (s.axResizeState) {
        applyResize(*s.axResizeState, point);
        services_.events->warp(point);
    } else if (s.pendingResize || s.pendingDividerSnap) {
        // Pressed on an edge or near a divider without dragging: an ordinary click after all.
        s.pendingResize.reset();
        s.pendingDividerSnap.reset();
        postSyntheticClick(button, point);
    } else {
        s.pendingTitleDrag.reset();
        if (!newer()) services_.events->warp(point);
        PointerEvent event = buttonEvent(button, up, point);
        event.sharedSource = newer();
        event.clickState = s.currentClickState.value_or(1);
        event.eventNumber = ++mouseEventNumber_;
        event.pressure = 0.0;
        if (newer()) event.windowNumber = s.lastDownWindow;
        if (services_.events->post(event))
            s.lastDownWindow.reset();
        else
            logMsg("🟥 postMouseUp: failed to create event for " +
                   std::string(description(button)));
    }
    s.active = false;
    s.endGesture();
}

void InputService::postSyntheticClick(MouseButton button, DisplayPoint point) {
    logMsg("postSyntheticClick: button=" + std::string(description(button)) + " at (" +
           number(point.x) + ", " + number(point.y) + ")");
    std::optional<std::uint32_t> window;
    if (newer()) window = services_.targets->raiseWindowAtPoint(point);
    for (int phase : {down, up}) {
        PointerEvent event = buttonEvent(button, phase, point);
        event.sharedSource = newer();
        event.clickState = 1;
        event.eventNumber = ++mouseEventNumber_;
        event.pressure = phase == down ? 1.0 : 0.0;
        if (newer()) event.windowNumber = window;
        if (!services_.events->post(event)) {
            logMsg("postSyntheticClick: failed to create CGEvent for type " +
                   std::string(description(event.type)));
            continue;
        }
        logMsg(std::string("postSyntheticClick: posted ") + (phase == down ? "down" : "up") +
               " event #" + std::to_string(*event.eventNumber) +
               " window=" + (window ? std::to_string(*window) : std::string("nil")));
    }
}

void InputService::releaseSyntheticPress(MouseButton button, DisplayPoint point) {
    PointerEvent event = buttonEvent(button, up, point);
    event.sharedSource = true;
    event.eventNumber = ++mouseEventNumber_;
    event.pressure = 0.0;
    services_.events->post(event);
    ButtonState& s = state(button);
    s.active = false;
    s.lastDragPoint.reset();
}

void InputService::applyResize(const AXResize& resize, DisplayPoint point) {
    const DisplayRect frame = resizedFrame(resize, point);
    services_.targets->setWindowSize(resize.element, frame.width, frame.height);
    if (resize.edges & (resizeLeft | resizeTop))
        services_.targets->setWindowPosition(resize.element, {frame.x, frame.y});
}

// MARK: - Keyboard and scroll

void InputService::handleKeyboard(const KeyboardEvent& event) {
    const std::uint64_t flags = static_cast<std::uint64_t>(event.modifierFlags) & modifierFlag::all;
    std::string characters = event.characters;
    if (capCharacters(characters, maxCharacters))
        logMsg("🟨 handleKeyboard: text of one key event cut to " +
               std::to_string(maxCharacters) + " characters");
    const bool shortcut = flags & (modifierFlag::control | modifierFlag::command);
    if (!characters.empty() && !shortcut && !isAlwaysKeyCodeUsage(event.keyCode) &&
        !services_.imeInputSourceActive()) {
        services_.events->post(KeyEvent{0, characters, event.isKeyDown, flags});
        return;
    }
    const auto code = hidToCGKeyCode(event.keyCode);
    if (!code) {
        logMsg("🟥 handleKeyboard: no CGKeyCode mapping for HID 0x" + hex(event.keyCode));
        return;
    }
    if (!services_.events->post(KeyEvent{*code, {}, event.isKeyDown, flags})) {
        logMsg("🟥 handleKeyboard: failed to create key event for CGKeyCode " +
               std::to_string(*code));
        return;
    }
    if (event.isKeyDown)
        heldKeys_.insert(*code);
    else
        heldKeys_.erase(*code);
    logMsg(std::string("🟪 handleKeyboard: posted ") + (event.isKeyDown ? "down" : "up") +
           " HID=0x" + hex(event.keyCode) + " CGKey=" + std::to_string(*code) +
           " mods=" + std::to_string(event.modifierFlags));
}

void InputService::handleMiceWheel(const MouseScroll& scroll) {
    const double truncated = std::trunc(scroll.delta);
    if (!std::isfinite(truncated) || truncated < std::numeric_limits<std::int32_t>::min() ||
        truncated > std::numeric_limits<std::int32_t>::max()) {
        logMsg("🟥 handleMiceWheel: scroll delta " + std::to_string(scroll.delta) +
               " is not a 32-bit amount; dropped");
        return;
    }
    auto amount = static_cast<std::int32_t>(truncated);
    // Negating the lowest value would overflow; one pixel makes no difference there.
    if (scroll.direction == ScrollDirection::down)
        amount = amount == std::numeric_limits<std::int32_t>::min()
                     ? std::numeric_limits<std::int32_t>::max()
                     : -amount;
    if (!services_.events->post(ScrollEvent{amount}))
        logMsg("🟥 handleMiceWheel: failed to create scroll event");
}

// MARK: - Confinement

void InputService::startConstrainingCursor(DisplayID display) {
    if (cursorConstraintTimer_) {
        cursorConstraintTimer_->setEventHandler([] {});
        cursorConstraintTimer_->cancel();
        cursorConstraintTimer_.reset();
    }
    constrainedDisplayID_ = display;
    DispatchQueue& queue = services_.queue ? *services_.queue : DispatchQueue::main();
    TimerClock& clock = services_.clock ? *services_.clock : TimerClock::real();
    cursorConstraintTimer_ = DispatchTimer::make(queue, clock);
    cursorConstraintTimer_->setEventHandler([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->clampCursorInsideConstrainedDisplay();
    });
    cursorConstraintTimer_->schedule(clock.now(), confinementTick);
    cursorConstraintTimer_->resume();
    logMsg("🟪 startConstrainingCursor: display " + std::to_string(display));
}

void InputService::stopConstrainingCursor() {
    if (cursorConstraintTimer_) {
        cursorConstraintTimer_->setEventHandler([] {});
        cursorConstraintTimer_->cancel();
    }
    cursorConstraintTimer_.reset();
    constrainedDisplayID_.reset();
    releaseHeldInput();
}

void InputService::releaseHeldInput() {
    const auto location = services_.events->location().value_or(DisplayPoint{});
    for (MouseButton button : allButtons) {
        ButtonState& s = state(button);
        if (s.active) {
            logMsg("🟨 releaseHeldInput: releasing " + std::string(description(button)));
            services_.events->post(buttonEvent(button, up, location));
        }
        s.active = false;
        s.endGesture();
    }
    for (std::uint16_t key : heldKeys_) {
        logMsg("🟨 releaseHeldInput: releasing key " + std::to_string(key));
        services_.events->post(KeyEvent{key, {}, false, 0});
    }
    heldKeys_.clear();
}

std::vector<DisplayRect> InputService::phantomScreenRects() {
    std::vector<DisplayRect> rects;
    for (const auto& id : services_.virtualDisplayIDs()) {
        if (!id || !services_.displays->isOnline(*id)) continue;
        const DisplayRect bounds = services_.displays->bounds(*id);
        if (bounds.width > 0 && bounds.height > 0) rects.push_back(bounds);
    }
    return rects;
}

void InputService::clampCursorInsideConstrainedDisplay() {
    if (!constrainedDisplayID_) return;
    for (const ButtonState& s : buttons_)
        if (s.active) return;
    const auto rects = phantomScreenRects();
    if (rects.empty()) return;
    const auto position = services_.events->location();
    if (!position) return;
    for (const DisplayRect& rect : rects)
        if (rect.contains(*position)) return;
    std::optional<DisplayPoint> nearest;
    double best = std::numeric_limits<double>::infinity();
    for (const DisplayRect& rect : rects) {
        const DisplayPoint clamped{std::clamp(position->x, rect.minX(), rect.maxX() - 1),
                                   std::clamp(position->y, rect.minY(), rect.maxY() - 1)};
        const double dx = clamped.x - position->x;
        const double dy = clamped.y - position->y;
        if (dx * dx + dy * dy < best) {
            best = dx * dx + dy * dy;
            nearest = clamped;
        }
    }
    if (!nearest || *nearest == *position) return;
    if (auto error = services_.events->warp(*nearest))
        logMsg("🟥 clampCursorInsideConstrainedDisplay: failed to warp cursor: " + *error);
}

}  // namespace vl
