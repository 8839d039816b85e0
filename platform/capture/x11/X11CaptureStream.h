// platform/capture/x11: one display's stream — MIT-SHM grabs of its rectangle paced against
// absolute deadlines, XDamage to tell idle frames from changed ones, the XFixes cursor image drawn
// in when asked, and conversion into the configured 4:2:0 format.
#pragma once

#include "platform/capture/Interface.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace vl {

class X11CaptureStream final : public CaptureStream {
  public:
    using Report = std::function<void(const std::string&)>;

    X11CaptureStream(std::string displayName, DisplayID display,
                     const StreamConfiguration& configuration, DispatchQueue& captureQueue,
                     CaptureStreamOutput output, Report report);
    ~X11CaptureStream() override;

    void start(CaptureCompletion completion) override;
    void stop(CaptureCompletion completion) override;

    // Counters for tests and benchmarks; read them on the capture queue.
    struct Statistics {
        std::uint64_t ticks = 0;
        std::uint64_t completeFrames = 0;
        std::uint64_t idleFrames = 0;
        std::uint64_t skippedFrames = 0;  // consumer held queueDepth buffers
        std::uint64_t missedDeadlines = 0;
        // Ticks run at once for a change after a quiet spell, off the deadlines (which then
        // count from there).
        std::uint64_t changeTicks = 0;
        // Time spent making complete frames: grab, cursor, conversion.
        std::chrono::nanoseconds completeFrameTime{0};
        bool sharedMemory = false;
    };
    Statistics statistics() const;

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace vl
