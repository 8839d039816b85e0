// platform/windows/tests: what a window observation delivers, recorded on the service's thread for
// a test to read on its own. The log must outlive the observation it records.
#pragma once

#include "platform/windows/Interface.h"

#include <algorithm>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace vl::testing {

class WindowEventLog {
  public:
    // Handlers that record here; `onCreated` also runs for each window made, on the service's
    // thread.
    WindowEvents handlers(std::function<void(WindowID)> onCreated = {}) {
        WindowEvents events;
        events.windowCreated = [this, onCreated](WindowID id, ProcessID pid) {
            record(created_, std::pair{id, pid});
            if (onCreated) onCreated(id);
        };
        events.focusedWindowChanged = [this](std::optional<WindowID> id) { record(focused_, id); };
        events.applicationLaunched = [this](ProcessID pid) { record(launched_, pid); };
        events.applicationTerminated = [this](ProcessID pid) { record(terminated_, pid); };
        return events;
    }

    std::vector<std::pair<WindowID, ProcessID>> created() const { return read(created_); }
    std::vector<std::optional<WindowID>> focused() const { return read(focused_); }
    std::vector<ProcessID> launched() const { return read(launched_); }
    std::vector<ProcessID> terminated() const { return read(terminated_); }

    bool wasCreated(WindowID id, ProcessID pid) const { return has(created_, std::pair{id, pid}); }
    bool wasFocused(WindowID id) const { return has(focused_, std::optional{id}); }
    bool wasLaunched(ProcessID pid) const { return has(launched_, pid); }
    bool wasTerminated(ProcessID pid) const { return has(terminated_, pid); }

  private:
    template <typename T>
    void record(std::vector<T>& list, T value) {
        std::lock_guard lock(mutex_);
        list.push_back(std::move(value));
    }
    template <typename T>
    std::vector<T> read(const std::vector<T>& list) const {
        std::lock_guard lock(mutex_);
        return list;
    }
    template <typename T>
    bool has(const std::vector<T>& list, const T& value) const {
        std::lock_guard lock(mutex_);
        return std::find(list.begin(), list.end(), value) != list.end();
    }

    mutable std::mutex mutex_;
    std::vector<std::pair<WindowID, ProcessID>> created_;
    std::vector<std::optional<WindowID>> focused_;
    std::vector<ProcessID> launched_;
    std::vector<ProcessID> terminated_;
};

}  // namespace vl::testing
