// platform/events/dbus: whether the keys go to an input method rather than a plain keyboard
// layout, asked of the desktop's input method framework over D-Bus — Fcitx 5 (or 4) on the
// session bus, IBus on its own bus. Answers are kept briefly: text keys ask for every event.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vl {

class DbusInputMethodState {
  public:
    struct Options {
        // How long one question may take; no answer counts as "a plain layout".
        std::chrono::milliseconds timeout{50};
        // How long an answer is kept.
        std::chrono::milliseconds keep{500};
        // Empty: $DBUS_SESSION_BUS_ADDRESS, and IBus's own address as IBus publishes it.
        std::string sessionBusAddress;
        std::string ibusAddress;
    };

    explicit DbusInputMethodState(Options options);
    ~DbusInputMethodState();
    DbusInputMethodState(const DbusInputMethodState&) = delete;
    DbusInputMethodState& operator=(const DbusInputMethodState&) = delete;

    // True when an input method engine (not a keyboard layout) is active.
    bool imeInputSourceActive();

    // The active engine's name, none when no framework answers.
    std::optional<std::string> activeEngine();

    // Whether an engine name stands for a plain keyboard layout ("keyboard-us", "xkb:us::eng").
    static bool isLayout(const std::string& engine);

  private:
    struct Buses;
    std::optional<std::string> askFcitx();
    std::optional<std::string> askIbus();

    Options options_;
    std::mutex mutex_;
    std::unique_ptr<Buses> buses_;
    std::optional<bool> answer_;
    std::chrono::steady_clock::time_point answeredAt_;
};

}  // namespace vl
