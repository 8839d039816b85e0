#include "client/viewer/KeyInput.h"

#include <SDL2/SDL_keyboard.h>

namespace vl {

namespace {

// Keys the server always takes by key code; their text (a carriage return, a tab) is not sent.
bool alwaysKeyCode(std::uint32_t usage) {
    return (usage >= 0x28 && usage <= 0x2B) || (usage >= 0x4A && usage <= 0x52);
}

bool keypad(int scancode) {
    return scancode >= SDL_SCANCODE_KP_DIVIDE && scancode <= SDL_SCANCODE_KP_PERIOD;
}

}  // namespace

std::optional<std::uint32_t> hidUsage(int scancode) {
    if (scancode < SDL_SCANCODE_A || scancode > SDL_SCANCODE_RGUI) return std::nullopt;
    // SDL leaves 0x65..0xDF partly unused; those above the keypad's extras never come from a
    // keyboard and map to no key on the server anyway, so they pass through as they are.
    return static_cast<std::uint32_t>(scancode);
}

std::int64_t modifierFlags(unsigned sdl, int scancode) {
    std::int64_t flags = 0;
    if (sdl & KMOD_CAPS) flags |= modifier::capsLock;
    if (sdl & KMOD_SHIFT) flags |= modifier::shift;
    if (sdl & KMOD_CTRL) flags |= modifier::control;
    if (sdl & KMOD_ALT) flags |= modifier::option;
    if (sdl & KMOD_GUI) flags |= modifier::command;
    if (keypad(scancode)) flags |= modifier::numericPad;
    return flags;
}

void KeyInput::keyDown(int scancode, unsigned sdl) {
    sendPending();
    if ((sdl & KMOD_CTRL) && (sdl & KMOD_ALT)) {
        std::optional<ViewerCommand> command;
        switch (scancode) {
            case SDL_SCANCODE_G:
                command = ViewerCommand::releaseGrab;
                break;
            case SDL_SCANCODE_S:
                command = ViewerCommand::toggleStatus;
                break;
            case SDL_SCANCODE_F:
                command = ViewerCommand::toggleFullscreen;
                break;
            case SDL_SCANCODE_Q:
                command = ViewerCommand::quit;
                break;
            default:
                break;
        }
        if (command) {
            swallowed_[scancode] = true;
            if (command_) command_(*command);
            return;
        }
    }
    // A key outside the keyboard page (a keysym mapped to a spare keycode, say) still goes when
    // it types something, with usage 0, which the server takes as text.
    const auto usage = hidUsage(scancode).value_or(0);
    const auto flags = modifierFlags(sdl, scancode);
    KeyMessage message{usage, {}, flags, true};
    // Only a press that can type waits for its text.
    if (usage != 0 && ((flags & (modifier::control | modifier::command)) || alwaysKeyCode(usage) ||
                       usage >= 0xE0)) {
        held_[scancode] = message;
        if (send_) send_(message);
        return;
    }
    pending_ = message;
    pendingScancode_ = scancode;
}

void KeyInput::text(const std::string& utf8) {
    if (!pending_) {
        // Text with no press of its own (an input method's commit): typed as a press and release.
        if (send_) {
            send_({0, utf8, 0, true});
            send_({0, utf8, 0, false});
        }
        return;
    }
    pending_->characters = utf8;
    sendPending();
}

void KeyInput::flush() {
    sendPending();
}

void KeyInput::sendPending() {
    if (!pending_) return;
    // A key the server cannot name that typed nothing has nothing to tell it.
    if (pending_->usage != 0 || !pending_->characters.empty()) {
        held_[pendingScancode_] = *pending_;
        if (send_) send_(*pending_);
    }
    pending_.reset();
}

void KeyInput::keyUp(int scancode, unsigned sdl) {
    sendPending();
    if (swallowed_.erase(scancode)) return;
    auto it = held_.find(scancode);
    if (it == held_.end()) {
        // Pressed before the window had focus: released by its code alone.
        auto usage = hidUsage(scancode);
        if (usage && send_) send_({*usage, {}, modifierFlags(sdl, scancode), false});
        return;
    }
    KeyMessage message = it->second;
    held_.erase(it);
    message.modifierFlags = modifierFlags(sdl, scancode);
    message.isKeyDown = false;
    if (send_) send_(message);
}

void KeyInput::releaseAll() {
    sendPending();
    for (auto& [scancode, message] : held_) {
        message.isKeyDown = false;
        message.modifierFlags = 0;
        if (send_) send_(message);
    }
    held_.clear();
    swallowed_.clear();
}

}  // namespace vl
