// client/viewer: asks for a new display size only once the user has stopped resizing the window,
// so that a drag across the screen costs the server one new virtual display, not fifty.
#pragma once

#include <chrono>
#include <optional>

namespace vl {

struct PixelSize {
    int width = 0, height = 0;
    friend bool operator==(const PixelSize&, const PixelSize&) = default;
};

class ResizeDebounce {
  public:
    using Clock = std::chrono::steady_clock;

    ResizeDebounce(PixelSize current, std::chrono::milliseconds quiet)
        : current_(current), quiet_(quiet) {}

    // The window has this size now.
    void resized(PixelSize size, Clock::time_point now);
    // The size to ask for, once, when the window has kept a new size for the quiet time; it then
    // counts as current.
    std::optional<PixelSize> due(Clock::time_point now);
    // When due() may next have something; nothing while no resize waits.
    std::optional<Clock::time_point> deadline() const;
    PixelSize current() const { return current_; }

  private:
    PixelSize current_;
    std::chrono::milliseconds quiet_;
    std::optional<PixelSize> pending_;
    Clock::time_point lastChange_{};
};

}  // namespace vl
