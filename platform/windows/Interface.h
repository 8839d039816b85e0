// platform/windows: the on-screen window list, an application's windows, and moving, sizing,
// raising and focusing them through the window manager; window and application notifications.
// Frames are the outer frame (decorations included) in global coordinates, y growing downwards.
#pragma once

#include "platform/display/Interface.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vl {

using WindowID = std::uint32_t;
using ProcessID = std::int32_t;

// What a window is for; only normal windows (and dialogs) belong to applications' layouts.
enum class WindowKind { normal, dialog, dock, desktop, notification, utility, other };

// One entry of the on-screen window list.
struct WindowRecord {
    WindowID id = 0;
    ProcessID pid = 0;      // 0 when the owner is unknown
    std::string ownerName;  // the owning program's name ("" when unknown)
    std::string appID;      // the application's identity ("" when none is found)
    std::string title;      // "" when none
    DisplayRect frame;
    WindowKind kind = WindowKind::normal;
    // 0 for application windows; docks, panels, desktop and notifications sit on other layers.
    int layer() const { return kind == WindowKind::normal || kind == WindowKind::dialog ? 0 : 1; }
    bool operator==(const WindowRecord&) const = default;
};

enum class WindowError {
    success,
    notFound,          // the window is gone
    rejected,          // the window manager ignored or refused the request
    noWindowManager,   // no window manager with the needed support runs
    invalidConnection  // the window server cannot be reached
};
const char* description(WindowError error);

// What the window server reports while observed. Called on the service's own thread.
struct WindowEvents {
    std::function<void(WindowID, ProcessID)> windowCreated;
    std::function<void(std::optional<WindowID>)> focusedWindowChanged;
    std::function<void(ProcessID)> applicationLaunched;
    std::function<void(ProcessID)> applicationTerminated;
};

// Ends an observation when destroyed; no event is delivered after the destructor returns.
class WindowObservation {
  public:
    virtual ~WindowObservation() = default;
};

class WindowService {
  public:
    virtual ~WindowService() = default;

    // Whether windows can be moved at all: a window manager with the needed support runs.
    virtual bool trusted() = 0;
    // On-screen windows front to back, desktop elements excluded.
    virtual std::vector<WindowRecord> windowList() = 0;
    // One window, none when it is gone.
    virtual std::optional<WindowRecord> window(WindowID id) = 0;
    // The top-level windows of a process, in the application's order (oldest first).
    virtual std::vector<WindowID> windowsOfProcess(ProcessID pid) = 0;
    // Processes owning application windows, in order of their first window, without duplicates.
    virtual std::vector<ProcessID> regularApplications() = 0;

    virtual std::optional<DisplayRect> frame(WindowID id) = 0;
    // Moves and sizes through the window manager (leaving maximised or full-screen state first).
    virtual WindowError setFrame(WindowID id, DisplayRect frame) = 0;
    // Many moves at once, one answer each in order. A backend that waits for the window manager
    // to confirm waits for all of them together rather than one after another.
    struct FrameRequest {
        WindowID id = 0;
        DisplayRect frame;
    };
    virtual std::vector<WindowError> setFrames(const std::vector<FrameRequest>& requests) {
        std::vector<WindowError> results;
        for (const auto& request : requests) results.push_back(setFrame(request.id, request.frame));
        return results;
    }
    // Brings the window to the front and gives it the keyboard focus.
    virtual WindowError raise(WindowID id) = 0;

    // The focused window, none when no window has the focus.
    virtual std::optional<WindowID> focusedWindow() = 0;
    // The frontmost application window under the point, none over the desktop.
    virtual std::optional<WindowID> windowAtPoint(DisplayPoint point) = 0;

    // Reports window and application changes until the observation is destroyed.
    virtual std::unique_ptr<WindowObservation> observe(WindowEvents events) = 0;
};

}  // namespace vl
