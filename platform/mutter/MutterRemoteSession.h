// platform/mutter: one remote-desktop session of Mutter with its bound screen-cast session and one
// virtual stream. Mutter makes the stream a virtual monitor once a consumer of its PipeWire node
// has negotiated a size, and that size is the monitor's. Mutter 43 cannot stop one stream of a
// session, so every virtual monitor has a session of its own and stopping it removes the monitor.
// Input goes through the session too: absolute pointer positions are relative to its stream.
#pragma once

#include "platform/mutter/MutterBus.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vl {

enum class CursorMode : std::uint32_t { hidden = 0, embedded = 1, metadata = 2 };

// Smooth-scroll flags of NotifyPointerAxis.
namespace axisFlag {
inline constexpr std::uint32_t finish = 1;
inline constexpr std::uint32_t sourceWheel = 2;
inline constexpr std::uint32_t sourceFinger = 4;
inline constexpr std::uint32_t sourceContinuous = 8;
}  // namespace axisFlag

class MutterRemoteSession {
  public:
    struct Options {
        // Embedded: a cursor move is a changed frame. With metadata, the last picture of a change
        // was seen to stay undelivered on Mutter 43 now and then.
        CursorMode cursorMode = CursorMode::embedded;
        // Animations cost frames to encode and send, and delay what the client sees; Mutter turns
        // them off desktop-wide while such a session runs.
        bool disableAnimations = true;
        // How long to wait for the PipeWire node once the session started.
        std::chrono::milliseconds nodeTimeout{5000};
    };

    // Created, bound, recording one virtual stream and started, with its node known; null
    // otherwise, `error` saying at which step.
    static std::unique_ptr<MutterRemoteSession> start(std::shared_ptr<MutterBus> bus,
                                                      const Options& options, std::string* error);
    // Stops the session (its virtual monitor goes).
    ~MutterRemoteSession();
    MutterRemoteSession(const MutterRemoteSession&) = delete;
    MutterRemoteSession& operator=(const MutterRemoteSession&) = delete;

    std::uint32_t pipeWireNode() const { return node_; }
    const std::string& streamPath() const { return streamPath_; }
    const std::string& sessionPath() const { return sessionPath_; }
    // Mutter closed the session on its own, or left the bus.
    bool closed() const { return closed_; }

    // Each is false when Mutter refused or could not be reached; `error` then says why.
    // Position in the stream's own pixels.
    bool pointerMotionAbsolute(double x, double y, std::string* error = nullptr);
    bool pointerMotionRelative(double dx, double dy, std::string* error = nullptr);
    // An evdev button code (BTN_LEFT = 0x110 …).
    bool pointerButton(std::int32_t evdevButton, bool pressed, std::string* error = nullptr);
    // Pixels of a standard mouse; 10 make one wheel click for clients that count clicks.
    bool pointerAxis(double dx, double dy, std::uint32_t flags, std::string* error = nullptr);
    // An evdev key code (KEY_A = 30 …).
    bool keyboardKeycode(std::uint32_t evdevKey, bool pressed, std::string* error = nullptr);
    bool keyboardKeysym(std::uint32_t keysym, bool pressed, std::string* error = nullptr);

  private:
    explicit MutterRemoteSession(std::shared_ptr<MutterBus> bus) : bus_(std::move(bus)) {}
    void stop();

    std::shared_ptr<MutterBus> bus_;
    std::string sessionPath_;     // the remote-desktop session
    std::string screenCastPath_;  // the screen-cast session bound to it
    std::string streamPath_;
    std::uint32_t node_ = 0;
    std::atomic<std::uint32_t> announcedNode_{0};
    std::atomic<bool> closed_{false};
    sd_bus_slot* nodeMatch_ = nullptr;
    sd_bus_slot* closedMatch_ = nullptr;
    sd_bus_slot* ownerMatch_ = nullptr;
};

}  // namespace vl
