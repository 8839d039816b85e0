// client/viewer: the window's keys as `text` messages. Each key goes with its HID usage (SDL's
// scancodes are the keyboard page's usages) and, when it types something, the text it produced,
// attached to the press and to the release, so that the server can use its text path for
// printable keys and its key-code path for the rest. A press waits for the text event that may
// follow it in the same batch of events; flush() sends it without text when none came.
// Ctrl+Alt+<letter>, Ctrl+Alt+Up/Down and the volume keys belong to the viewer and never reach
// the server.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace vl {

// The protocol's modifier bits.
namespace modifier {
constexpr std::int64_t capsLock = 0x10000;
constexpr std::int64_t shift = 0x20000;
constexpr std::int64_t control = 0x40000;
constexpr std::int64_t option = 0x80000;
constexpr std::int64_t command = 0x100000;
constexpr std::int64_t numericPad = 0x200000;
}  // namespace modifier

// The HID usage of an SDL scancode on the keyboard page; nothing for keys outside it (media keys,
// SDL's own codes).
std::optional<std::uint32_t> hidUsage(int scancode);
// SDL's modifier state as the protocol's flags; the numeric-pad bit for keys of the keypad. The
// platform's Super key is the Command key.
std::int64_t modifierFlags(unsigned sdlModifiers, int scancode);

// What the viewer does itself on its shortcuts.
enum class ViewerCommand {
    releaseGrab,
    toggleStatus,
    toggleFullscreen,
    quit,
    toggleMute,
    volumeUp,
    volumeDown
};

struct KeyMessage {
    std::uint32_t usage = 0;
    std::string characters;
    std::int64_t modifierFlags = 0;
    bool isKeyDown = false;
    friend bool operator==(const KeyMessage&, const KeyMessage&) = default;
};

class KeyInput {
  public:
    using Send = std::function<void(const KeyMessage&)>;
    using Command = std::function<void(ViewerCommand)>;

    KeyInput(Send send, Command command) : send_(std::move(send)), command_(std::move(command)) {}

    void keyDown(int scancode, unsigned sdlModifiers);
    void keyUp(int scancode, unsigned sdlModifiers);
    // The text the last press produced (SDL_TEXTINPUT).
    void text(const std::string& utf8);
    // End of a batch of events: a press still waiting for text goes without it.
    void flush();
    // Focus lost: every key still held is released, so none stays down on the server.
    void releaseAll();

  private:
    void sendPending();

    Send send_;
    Command command_;
    std::optional<KeyMessage> pending_;
    int pendingScancode_ = 0;
    std::map<int, KeyMessage> held_;  // scancode → its press as sent
    std::map<int, bool> swallowed_;   // scancodes of viewer shortcuts still down
};

}  // namespace vl
