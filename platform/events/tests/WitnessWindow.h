// Test helper: a full-screen X window with the input focus that records the events the X server
// delivers to it — the witness for posted input.
#pragma once

#include <poll.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace vl::test {

using namespace std::chrono_literals;

struct Seen {
    std::uint8_t type = 0;  // response type without the sent bit
    std::uint8_t detail = 0;
    int x = 0;
    int y = 0;
    std::uint16_t state = 0;
};

// A full-screen window with the input focus, recording the events it receives.
class WitnessWindow {
  public:
    explicit WitnessWindow(const std::string& display) {
        connection_ = xcb_connect(display.c_str(), nullptr);
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        window_ = xcb_generate_id(connection_);
        const std::uint32_t mask[] = {XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE |
                                      XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                      XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_EXPOSURE};
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0,
                          screen->width_in_pixels, screen->height_in_pixels, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_EVENT_MASK,
                          mask);
        xcb_map_window(connection_, window_);
        xcb_flush(connection_);
        waitFor(XCB_EXPOSE, 1);
        xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
        std::free(
            xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
        seen_.clear();
    }
    ~WitnessWindow() { xcb_disconnect(connection_); }

    // Waits until `count` events of the type arrived (or a second passed); all recorded so far.
    std::vector<Seen> waitFor(std::uint8_t type, std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + 1s;
        while (countOf(type) < count && std::chrono::steady_clock::now() < deadline) {
            pollfd fd{xcb_get_file_descriptor(connection_), POLLIN, 0};
            poll(&fd, 1, 20);
            while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
                record(event);
                std::free(event);
            }
        }
        return seen_;
    }
    std::vector<Seen> of(std::uint8_t type) const {
        std::vector<Seen> result;
        for (const Seen& s : seen_)
            if (s.type == type) result.push_back(s);
        return result;
    }
    void clear() { seen_.clear(); }

    // The keysym in a keycode's first column, as the keyboard is mapped now.
    std::uint32_t keysym(std::uint8_t keycode) {
        auto* reply = xcb_get_keyboard_mapping_reply(
            connection_, xcb_get_keyboard_mapping(connection_, keycode, 1), nullptr);
        if (!reply) return 0;
        const std::uint32_t keysym =
            reply->keysyms_per_keycode ? xcb_get_keyboard_mapping_keysyms(reply)[0] : 0;
        std::free(reply);
        return keysym;
    }
    int emptyKeycodes() {
        const xcb_setup_t* setup = xcb_get_setup(connection_);
        int empty = 0;
        for (int k = setup->min_keycode; k <= setup->max_keycode; ++k)
            empty += keysym(static_cast<std::uint8_t>(k)) == 0;
        return empty;
    }

  private:
    std::size_t countOf(std::uint8_t type) const { return of(type).size(); }
    void record(xcb_generic_event_t* event) {
        Seen s;
        s.type = event->response_type & 0x7F;
        switch (s.type) {
            case XCB_KEY_PRESS:
            case XCB_KEY_RELEASE:
            case XCB_BUTTON_PRESS:
            case XCB_BUTTON_RELEASE:
            case XCB_MOTION_NOTIFY: {
                // Key, button and motion events share one layout.
                auto* e = reinterpret_cast<xcb_key_press_event_t*>(event);
                s.detail = e->detail;
                s.x = e->event_x;
                s.y = e->event_y;
                s.state = e->state;
                break;
            }
            default:
                break;
        }
        seen_.push_back(s);
    }

    xcb_connection_t* connection_ = nullptr;
    xcb_window_t window_ = 0;
    std::vector<Seen> seen_;
};

}  // namespace vl::test
