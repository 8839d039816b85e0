// platform/events: pointer, keyboard and scroll events posted to the desktop as if from its own
// devices; cursor warp and location. Records carry every field the input logic computes, even
// those a backend has no place for, so tests can check them.
#pragma once

#include "platform/display/Interface.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vl {

// Raw values are the event type numbers the input logic is written against.
enum class PointerEventType : std::uint8_t {
    leftDown = 1,
    leftUp = 2,
    rightDown = 3,
    rightUp = 4,
    mouseMoved = 5,
    leftDragged = 6,
    rightDragged = 7,
    otherDown = 25,
    otherUp = 26,
    otherDragged = 27,
};
std::string_view description(PointerEventType type);

// Modifier bits of an event's flags.
namespace modifierFlag {
inline constexpr std::uint64_t capsLock = 0x10000;
inline constexpr std::uint64_t shift = 0x20000;
inline constexpr std::uint64_t control = 0x40000;
inline constexpr std::uint64_t option = 0x80000;
inline constexpr std::uint64_t command = 0x100000;
inline constexpr std::uint64_t numericPad = 0x200000;
inline constexpr std::uint64_t all = 0x3F0000;
}  // namespace modifierFlag

struct PointerEvent {
    PointerEventType type = PointerEventType::mouseMoved;
    DisplayPoint point;
    int buttonNumber = 0;  // 0 left, 1 right, 2 middle
    std::int64_t clickState = 0;
    std::optional<std::int64_t> eventNumber;
    double pressure = 0;
    double deltaX = 0;
    double deltaY = 0;
    // The window under the pointer, when the sender knows it.
    std::optional<std::uint32_t> windowNumber;
    // Posted through the shared session source rather than none.
    bool sharedSource = false;
    std::uint64_t flags = 0;
    bool operator==(const PointerEvent&) const = default;
};

// Either text (typed as Unicode whatever the keyboard layout) or a virtual key code.
struct KeyEvent {
    std::uint16_t virtualKey = 0;
    std::string text;  // UTF-8; when not empty the event types it and virtualKey is unused
    bool isDown = false;
    std::uint64_t flags = 0;
    bool operator==(const KeyEvent&) const = default;
};

// A vertical scroll in pixels; positive scrolls up.
struct ScrollEvent {
    std::int32_t pixels = 0;
    bool operator==(const ScrollEvent&) const = default;
};

class EventsService {
  public:
    virtual ~EventsService() = default;
    // False when the event could not be created or posted.
    virtual bool post(const PointerEvent& event) = 0;
    virtual bool post(const KeyEvent& event) = 0;
    virtual bool post(const ScrollEvent& event) = 0;
    // Moves the cursor without an event; the reason when it failed.
    virtual std::optional<std::string> warp(DisplayPoint point) = 0;
    virtual std::optional<DisplayPoint> location() = 0;
};

}  // namespace vl
