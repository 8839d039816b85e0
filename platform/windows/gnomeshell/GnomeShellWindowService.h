// platform/windows/gnomeshell: windows of a GNOME Wayland session through our shell extension
// (extension/), which offers the shell's window list, moves, activation, and windows made and
// closed on the session bus. Mutter alone has no such interface, and only the compositor knows
// where Wayland windows are.
#pragma once

#include "platform/mutter/MutterBus.h"
#include "platform/windows/Interface.h"
#include "platform/windows/gnomeshell/ShellExtension.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace vl {

class GnomeShellWindowService final : public WindowService {
  public:
    using Report = std::function<void(const std::string&)>;

    // Null when the extension does not answer on `bus`; `error` then says why. When the shell
    // runs but the extension is off, it is asked once to enable it.
    static std::shared_ptr<GnomeShellWindowService> connect(std::shared_ptr<MutterBus> bus,
                                                            Report report,
                                                            std::string* error = nullptr);

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
    GnomeShellWindowService(std::shared_ptr<MutterBus> bus, Report report);
    // The shell's windows but the desktop, minimised ones only when asked for.
    std::vector<WindowRecord> records(bool withMinimised);

    std::shared_ptr<MutterBus> bus_;
    Report report_;
    std::atomic<bool> unreadable_{false};
};

}  // namespace vl
