// platform/capture/x11: screen capture of an X screen. A display is a RandR output's rectangle
// (or a RandR 1.5 virtual monitor's), with the display ids of platform/display.
#pragma once

#include "platform/capture/Interface.h"

#include <functional>
#include <string>

namespace vl {

class X11CaptureService final : public CaptureService {
  public:
    using Report = std::function<void(const std::string&)>;

    // displayName empty: $DISPLAY.
    explicit X11CaptureService(std::string displayName = {}, Report report = {});

    std::vector<ShareableDisplay> shareableDisplays(
        std::optional<CaptureError>* error = nullptr) override;
    std::unique_ptr<CaptureStream> makeStream(DisplayID display,
                                              const StreamConfiguration& configuration,
                                              DispatchQueue& captureQueue,
                                              CaptureStreamOutput output) override;

  private:
    std::string displayName_;
    Report report_;
};

}  // namespace vl
