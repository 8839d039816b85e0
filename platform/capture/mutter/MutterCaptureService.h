// platform/capture/mutter: capture of Mutter's virtual monitors. Each monitor's PipeWire consumer
// hands over a frame only when Mutter repainted it; the stream converts that frame into the
// configured 4:2:0 format at once, straight from the PipeWire buffer, and delivers it on its
// capture queue as soon as it came when a frame interval has passed since the last one, else at
// the next tick; ticks with nothing new deliver idle frames.
#pragma once

#include "platform/capture/Interface.h"
#include "platform/mutter/MutterVirtualMonitor.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace vl {

class MutterCaptureService final : public CaptureService {
  public:
    using Report = std::function<void(const std::string&)>;

    MutterCaptureService(std::shared_ptr<MutterMonitors> monitors, Report report);

    std::vector<ShareableDisplay> shareableDisplays(
        std::optional<CaptureError>* error = nullptr) override;
    std::unique_ptr<CaptureStream> makeStream(DisplayID display,
                                              const StreamConfiguration& configuration,
                                              DispatchQueue& captureQueue,
                                              CaptureStreamOutput output) override;

  private:
    std::shared_ptr<MutterMonitors> monitors_;
    Report report_;
    std::atomic<bool> eightBitReported_{false};
};

}  // namespace vl
