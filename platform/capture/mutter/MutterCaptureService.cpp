#include "platform/capture/mutter/MutterCaptureService.h"

#include "platform/capture/mutter/MutterCaptureStream.h"

namespace vl {

MutterCaptureService::MutterCaptureService(std::shared_ptr<MutterMonitors> monitors, Report report)
    : monitors_(std::move(monitors)), report_(std::move(report)) {}

std::vector<ShareableDisplay> MutterCaptureService::shareableDisplays(
    std::optional<CaptureError>* error) {
    if (error) error->reset();
    std::vector<ShareableDisplay> displays;
    for (const auto& monitor : monitors_->all())
        displays.push_back({monitor->displayID(), monitor->width(), monitor->height()});
    return displays;
}

std::unique_ptr<CaptureStream> MutterCaptureService::makeStream(
    DisplayID display, const StreamConfiguration& configuration, DispatchQueue& captureQueue,
    CaptureStreamOutput output) {
    // Mutter 43's streams carry 8-bit pixels only; an HDR session gets them converted.
    if (configuration.pixelFormat == PixelFormat::biPlanar420Video10 &&
        !eightBitReported_.exchange(true) && report_)
        report_("🟨 Mutter streams 8-bit pixels only: HDR sessions carry them in 10 bits");
    return std::make_unique<MutterCaptureStream>(monitors_, display, configuration, captureQueue,
                                                 std::move(output), report_);
}

}  // namespace vl
