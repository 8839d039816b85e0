// platform/windows/x11: windows of an X screen through the EWMH and ICCCM properties the window
// manager keeps on the root window; moves, sizes and activation are requests to that manager.
#pragma once

#include "platform/windows/Interface.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace vl {

namespace x11 {
class WindowConnection;
}

class X11WindowService final : public WindowService {
  public:
    using Report = std::function<void(const std::string&)>;

    // displayName empty: $DISPLAY. Connects lazily and reconnects after the server went away.
    explicit X11WindowService(std::string displayName = {}, Report report = {});
    ~X11WindowService() override;

    bool trusted() override;
    std::vector<WindowRecord> windowList() override;
    std::optional<WindowRecord> window(WindowID id) override;
    std::vector<WindowID> windowsOfProcess(ProcessID pid) override;
    std::vector<ProcessID> regularApplications() override;
    std::optional<DisplayRect> frame(WindowID id) override;
    WindowError setFrame(WindowID id, DisplayRect frame) override;
    std::vector<WindowError> setFrames(const std::vector<FrameRequest>& requests) override;
    WindowError raise(WindowID id) override;
    std::optional<WindowID> focusedWindow() override;
    std::optional<WindowID> windowAtPoint(DisplayPoint point) override;
    std::unique_ptr<WindowObservation> observe(WindowEvents events) override;

  private:
    class Observation;
    // The live connection, reconnected when needed; null when the server cannot be reached.
    x11::WindowConnection* connection();

    std::string displayName_;
    Report report_;
    std::mutex mutex_;
    std::unique_ptr<x11::WindowConnection> connection_;
};

}  // namespace vl
