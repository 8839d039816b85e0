#include "platform/capture/x11/X11CaptureService.h"

#include "platform/capture/x11/X11CaptureStream.h"
#include "platform/display/x11/RandrScreen.h"

namespace vl {

X11CaptureService::X11CaptureService(std::string displayName, Report report)
    : displayName_(std::move(displayName)), report_(std::move(report)) {}

std::vector<ShareableDisplay> X11CaptureService::shareableDisplays(
    std::optional<CaptureError>* error) {
    if (error) error->reset();
    x11::RandrScreen screen(displayName_, report_);
    const auto snapshot = screen.snapshot();
    if (!snapshot) {
        if (error) {
            *error = CaptureError{CaptureErrorCode::connectionFailed,
                                  displayName_.empty() ? "$DISPLAY" : displayName_};
        }
        return {};
    }
    std::vector<ShareableDisplay> displays;
    for (const std::uint32_t id : snapshot->enabledOutputs()) {
        if (const auto bounds = snapshot->bounds(id)) {
            displays.push_back(
                {id, static_cast<int>(bounds->width), static_cast<int>(bounds->height)});
        }
    }
    return displays;
}

std::unique_ptr<CaptureStream> X11CaptureService::makeStream(
    DisplayID display, const StreamConfiguration& configuration, DispatchQueue& captureQueue,
    CaptureStreamOutput output) {
    return std::make_unique<X11CaptureStream>(displayName_, display, configuration, captureQueue,
                                              std::move(output), report_);
}

}  // namespace vl
