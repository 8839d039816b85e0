// platform/windows/gnomeshell: what our shell extension adds to Mutter's remote-desktop input.
// Mutter cannot be asked where the pointer is, and its virtual keyboard types only the keysyms
// the current layout has a key for ("€" on a US layout types nothing); the shell knows the
// pointer, and its input method commits any text to a focused text field.
#pragma once

#include "platform/display/Interface.h"
#include "platform/mutter/MutterBus.h"

#include <memory>
#include <optional>
#include <string>

namespace vl {

class GnomeShellInput {
  public:
    explicit GnomeShellInput(std::shared_ptr<MutterBus> bus) : bus_(std::move(bus)) {}

    // Where the shell has the pointer, in desktop pixels; none when it cannot be asked.
    std::optional<DisplayPoint> pointer();
    // Commits `text` to the focused text field, as the shell's on-screen keyboard does; false when
    // no focused client takes text this way or the shell cannot be asked.
    bool commitText(const std::string& text);

  private:
    std::shared_ptr<MutterBus> bus_;
};

}  // namespace vl
