// platform/capture/mutter: one virtual monitor's stream (see MutterCaptureService.h).
#pragma once

#include "platform/capture/Interface.h"
#include "platform/mutter/MutterVirtualMonitor.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vl {

class MutterCaptureStream final : public CaptureStream {
  public:
    using Report = std::function<void(const std::string&)>;

    MutterCaptureStream(std::shared_ptr<MutterMonitors> monitors, DisplayID display,
                        const StreamConfiguration& configuration, DispatchQueue& captureQueue,
                        CaptureStreamOutput output, Report report);
    ~MutterCaptureStream() override;

    void start(CaptureCompletion completion) override;
    void stop(CaptureCompletion completion) override;

    struct Statistics {
        std::uint64_t completeFrames = 0;
        std::uint64_t idleFrames = 0;
        std::uint64_t skippedFrames = 0;   // the consumer held queueDepth buffers
        std::uint64_t receivedFrames = 0;  // from PipeWire
        // Ticks run at once for a frame that came after a quiet spell, off the deadlines.
        std::uint64_t changeTicks = 0;
    };
    // Read on the capture queue.
    Statistics statistics() const;

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace vl
