// platform/events x11: events posted through XTest over XCB. X has no Unicode key events, no
// modifier flags on synthetic events and wheel clicks only, so text is typed through spare
// keycodes remapped to the wanted keysyms, the pressed modifiers are made to match each key
// event's flags and put back after it, and pixel scrolls are gathered into wheel clicks.
#pragma once

#include "platform/events/Interface.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct xcb_connection_t;

namespace vl {

// Which X modifier the client's Command key stands for.
enum class CommandKey { control, super };
std::optional<CommandKey> commandKeyFromText(const std::string& text);

class X11EventsService final : public EventsService {
  public:
    // About how far one wheel click scrolls in the desktop's toolkits, so a swipe from the
    // client scrolls here about as far as the client meant.
    static constexpr int defaultPixelsPerWheelClick = 50;
    // Most wheel clicks one scroll event turns into.
    static constexpr int maxClicksPerEvent = 100;

    struct Options {
        std::string display;  // empty: $DISPLAY
        CommandKey commandKey = CommandKey::control;
        int pixelsPerWheelClick = defaultPixelsPerWheelClick;
    };

    // None when the display cannot be opened or has no XTest.
    static std::unique_ptr<X11EventsService> open(const Options& options);
    ~X11EventsService() override;

    bool post(const PointerEvent& event) override;
    bool post(const KeyEvent& event) override;
    bool post(const ScrollEvent& event) override;
    std::optional<std::string> warp(DisplayPoint point) override;
    std::optional<DisplayPoint> location() override;

  private:
    using Clock = std::chrono::steady_clock;
    struct Keymap {
        std::uint8_t minKeycode = 8;
        std::uint8_t perKeycode = 0;
        std::vector<std::uint32_t> keysyms;
        std::uint32_t keysym(std::uint8_t keycode, int column) const;
    };
    struct SpareKey {
        std::uint8_t keycode = 0;
        std::uint32_t keysym = 0;  // 0 while unassigned
        Clock::time_point used;    // when a press of it was last sent
    };
    static constexpr auto spareKeyRest = std::chrono::milliseconds(50);

    X11EventsService(xcb_connection_t* connection, std::uint32_t root, const Options& options);
    bool alive() const;
    bool fake(std::uint8_t type, std::uint8_t detail, int x = 0, int y = 0);
    bool flush();
    // A round trip: everything sent so far has been processed by the server.
    bool sync();
    Keymap keymap();
    std::uint8_t keycodeFor(const Keymap& map, std::uint32_t keysym) const;
    // Keycodes held down now, per modifier family (shift, control, alt, super).
    std::array<std::vector<std::uint8_t>, 4> heldModifiers(const Keymap& map);
    SpareKey* spareKeyMappedTo(std::uint32_t keysym);
    // Remaps the next spare key in turn, once it has rested since its last press was sent.
    SpareKey& remapNextSpareKey(std::uint32_t keysym);
    bool typeText(const std::string& text);
    bool postKeyCode(const KeyEvent& event);
    void restoreSpareKeys();

    xcb_connection_t* connection_;
    std::uint32_t root_;
    Options options_;
    std::mutex mutex_;
    std::vector<SpareKey> spare_;
    std::size_t nextSpare_ = 0;
    std::array<std::int64_t, 2> scrollRemainder_{};  // up, down
};

}  // namespace vl
