// platform/windows/fake: an in-memory window server — windows front to back, focus, a window
// manager that can refuse requests — with notifications fired synchronously on the caller's thread.
#pragma once

#include "platform/windows/Interface.h"

#include <mutex>
#include <set>
#include <vector>

namespace vl {

class FakeWindowServer final : public WindowService {
  public:
    // Adds a window at the front; with notify, observers hear of it (and of a new application).
    WindowID addWindow(WindowRecord record, bool notify = false);
    void removeWindow(WindowID id);
    // Focuses and raises; observers hear of the focus change.
    void focus(std::optional<WindowID> id);
    void setTrusted(bool trusted);
    // setFrame on this window is refused.
    void refuseMoves(WindowID id);
    // Every frame set so far, in order.
    std::vector<std::pair<WindowID, DisplayRect>> framesSet() const;
    std::size_t observerCount() const;

    bool trusted() override;
    std::vector<WindowRecord> windowList() override;
    std::optional<WindowRecord> window(WindowID id) override;
    std::vector<WindowID> windowsOfProcess(ProcessID pid) override;
    std::vector<ProcessID> regularApplications() override;
    std::optional<DisplayRect> frame(WindowID id) override;
    WindowError setFrame(WindowID id, DisplayRect frame) override;
    WindowError raise(WindowID id) override;
    std::optional<WindowID> focusedWindow() override;
    std::optional<WindowID> windowAtPoint(DisplayPoint point) override;
    std::unique_ptr<WindowObservation> observe(WindowEvents events) override;

  private:
    class Observation;
    std::vector<WindowEvents> observersCopy() const;
    WindowRecord* find(WindowID id);

    mutable std::mutex mutex_;
    std::vector<WindowRecord> windows_;  // front to back
    std::vector<WindowID> creationOrder_;
    std::optional<WindowID> focused_;
    bool trusted_ = true;
    std::set<WindowID> refused_;
    std::vector<std::pair<WindowID, DisplayRect>> framesSet_;
    WindowID nextID_ = 100;
    std::uint64_t nextObserver_ = 0;
    std::vector<std::pair<std::uint64_t, WindowEvents>> observers_;
};

}  // namespace vl
