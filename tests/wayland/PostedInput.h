// tests/wayland: input events as the input logic posts them, for tests that post them to Mutter.
#pragma once

#include "platform/events/Interface.h"

#include <gtest/gtest.h>

#include <string>

namespace vl::testing {

inline PointerEvent pointer(PointerEventType type, DisplayPoint point, int button = 0) {
    PointerEvent event;
    event.type = type;
    event.point = point;
    event.buttonNumber = button;
    return event;
}

inline KeyEvent key(std::uint16_t virtualKey, bool down, std::uint64_t flags = 0) {
    KeyEvent event;
    event.virtualKey = virtualKey;
    event.isDown = down;
    event.flags = flags;
    return event;
}

// Text typed by one key press.
inline KeyEvent typed(std::string text) {
    KeyEvent event;
    event.text = std::move(text);
    event.isDown = true;
    return event;
}

inline ScrollEvent scroll(std::int32_t pixels) {
    ScrollEvent event;
    event.pixels = pixels;
    return event;
}

// A move there, then a press and a release of the button (0 left, 1 right), each posted.
inline void click(EventsService& events, DisplayPoint point, int button = 0) {
    const bool left = button == 0;
    EXPECT_TRUE(events.post(pointer(PointerEventType::mouseMoved, point)));
    EXPECT_TRUE(events.post(
        pointer(left ? PointerEventType::leftDown : PointerEventType::rightDown, point, button)));
    EXPECT_TRUE(events.post(
        pointer(left ? PointerEventType::leftUp : PointerEventType::rightUp, point, button)));
}

}  // namespace vl::testing
