// windowsmgmt: the desktop around a sharing session. Before it, every display and window is
// remembered; while it runs, windows are moved onto the shared display, new windows follow it and
// focus changes between displays are reported; afterwards the arrangement and windows go back.
//
// Every operation runs on the main queue (the queue given at construction); observer events hop
// there, and the delays before acting on them are timers of the given clock on that queue.
#pragma once

#include "base/DispatchQueue.h"
#include "base/TimerClock.h"
#include "platform/display/Interface.h"
#include "platform/windows/Interface.h"
#include "windowsmgmt/VNSDisplayInfo.h"
#include "windowsmgmt/VNSLayoutSnapshot.h"
#include "windowsmgmt/VNSWindowInfo.h"

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vl {

class VNSWindowManager : public std::enable_shared_from_this<VNSWindowManager> {
  public:
    struct Options {
        // The server's own process: its windows never move.
        ProcessID ownPID = 0;
        // Owner names whose windows never move (the server program and the desktop's helpers).
        std::set<std::string> excludedOwners = {"vantrel-link"};
        Clock::duration newWindowDelay = std::chrono::milliseconds(150);
        Clock::duration launchDelay = std::chrono::milliseconds(400);
    };

    static std::shared_ptr<VNSWindowManager> make(DisplayService& displays, WindowService& windows,
                                                  Options options, DispatchQueue& queue,
                                                  TimerClock& clock = TimerClock::real());
    ~VNSWindowManager();

    // Records.
    const std::vector<VNSWindowInfo>& savedWindows() const { return savedWindows_; }
    DisplayID newWindowTargetDisplay() const { return newWindowTargetDisplay_; }
    std::size_t attachedApplicationCount() const { return axObservers_.size(); }

    std::vector<VNSDisplayInfo> refreshDisplays();
    // On-screen application windows, front to back.
    std::vector<VNSWindowInfo> captureWindows();
    void rememberAllDisplays();
    void setMainDisplay(DisplayID display);
    void restoreMainDisplay();
    void restoreAllWindows();
    // How many windows were put back.
    int restoreWindows(const VNSLayoutSnapshot& snapshot);

    void moveAllWindowsToDisplay(DisplayID display);
    int moveWindowsToVDIfNotOnVD(DisplayID virtualDisplay);
    bool moveActiveWindowToDisplay(DisplayID display, bool alignRight);
    // While the client drags a window: when its leading edge crossed onto another display, the
    // window moves there whole.
    bool snapActiveWindowIfCrossedDisplay(bool movingRight);

    void startNewWindowObserver(DisplayID targetDisplay);
    void stopNewWindowObserver();
    void reportActiveWindowDisplayIfChanged(std::optional<WindowID> window);
    std::function<void(DisplayID)> onActiveWindowDisplayChanged;

    // Shared steps.
    static DisplayRect remapWindowFrame(DisplayRect frame, DisplayRect from, DisplayRect to);
    DisplayID displayContaining(DisplayRect frame);
    std::optional<DisplayRect> liveDisplayBounds(DisplayID display);
    std::optional<WindowID> frontmostFocusedWindow();
    std::optional<DisplayRect> axWindowFrame(WindowID window);
    bool setWindowFrame(WindowID window, DisplayRect frame);
    // Many windows at once; each failure reported like a single one.
    void setWindowFrames(const std::vector<WindowService::FrameRequest>& moves);

  private:
    VNSWindowManager(DisplayService& displays, WindowService& windows, Options options,
                     DispatchQueue& queue, TimerClock& clock);
    bool excluded(const WindowRecord& window) const;
    bool trusted(const char* operation);
    void moveLiveWindowsToDisplay(DisplayID display, DisplayRect target);
    // The restore matching: each saved window to the best unused live window of its process.
    int matchWindows(const std::vector<VNSWindowInfo>& saved,
                     const std::function<void(const VNSWindowInfo&, WindowID)>& apply,
                     const std::function<void(const VNSWindowInfo&)>& unmatched);
    void relocateNewWindow(WindowID window);
    std::string titleOf(WindowID window);

    DisplayService& displays_;
    WindowService& windows_;
    Options options_;
    DispatchQueue& queue_;
    TimerClock& clock_;

    std::vector<VNSDisplayInfo> connectedDisplays_;
    std::vector<VNSWindowInfo> savedWindows_;
    std::optional<VNSLayoutSnapshot> lastSnapshot_;
    DisplayID newWindowTargetDisplay_ = nullDisplayID;
    // Applications followed: on this window system one observation of the root serves them all.
    std::set<ProcessID> axObservers_;
    std::unique_ptr<WindowObservation> observation_;
    // Events of an earlier observation that arrive late are dropped.
    std::shared_ptr<const bool> following_;
    std::vector<TimerClock::Cancel> pending_;
    DisplayID lastActiveDisplay_ = nullDisplayID;
};

}  // namespace vl
