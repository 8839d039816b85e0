// platform/events mutter: events posted through Mutter's remote-desktop sessions. Each virtual
// monitor has its own session, and an absolute pointer position is given on a monitor's stream,
// so a point on the desktop goes to the session of the monitor under it, in that monitor's
// pixels; buttons, keys and scrolls follow through the session the pointer is on. Keys go by
// evdev key code (shortcuts work whatever the layout), text by keysym, and scrolls as smooth
// pixel scrolls, which Wayland clients take as they are. Where GNOME Shell runs our extension,
// text beyond ASCII is committed through the shell's input method instead (Mutter's keysyms type
// only what the layout has a key for), and the pointer's position is the shell's.
#pragma once

#include "platform/events/Interface.h"
#include "platform/mutter/MutterVirtualMonitor.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vl {

class MutterEventsService final : public EventsService {
  public:
    struct Options {
        // What the client's Command key acts as: Super when true, else Control.
        bool commandIsSuper = false;
        // Where the pointer really is (it may move by other devices); none when unknown.
        std::function<std::optional<DisplayPoint>()> pointer;
        // Commits text to the focused text field; false when no focused client takes it so.
        std::function<bool(const std::string&)> commitText;
    };

    MutterEventsService(std::shared_ptr<MutterMonitors> monitors, Options options);

    bool post(const PointerEvent& event) override;
    bool post(const KeyEvent& event) override;
    bool post(const ScrollEvent& event) override;
    std::optional<std::string> warp(DisplayPoint point) override;
    std::optional<DisplayPoint> location() override;

    // The evdev key code of a virtual key code of the input logic; none for unknown codes.
    static std::optional<std::uint32_t> evdevKeyForVirtualKey(std::uint16_t code,
                                                              bool commandIsSuper);

  private:
    struct Placed {
        std::shared_ptr<MutterVirtualMonitor> monitor;
        int x = 0;
        int y = 0;
    };
    // The monitor under a desktop point, with its origin; Mutter's layout is asked again when the
    // point lies on none of the monitors last seen.
    std::optional<Placed> monitorAt(DisplayPoint point);
    bool moveTo(DisplayPoint point, std::string* error);
    MutterRemoteSession* currentSession();
    bool typeText(MutterRemoteSession& session, const std::string& text);
    bool typeKeysyms(MutterRemoteSession& session, const std::vector<char32_t>& points);
    // Before each key: waits out text just committed, so the key cannot overtake it.
    void keyComing();

    std::shared_ptr<MutterMonitors> monitors_;
    Options options_;
    std::mutex mutex_;
    std::vector<Placed> layout_;
    std::shared_ptr<MutterVirtualMonitor> under_;  // the monitor the pointer was last put on
    std::optional<DisplayPoint> location_;
    std::chrono::steady_clock::time_point moved_;  // when location_ was last sent
    // When a key was last sent, and text last committed through the shell.
    std::chrono::steady_clock::time_point keySent_;
    std::chrono::steady_clock::time_point textSent_;
};

}  // namespace vl
