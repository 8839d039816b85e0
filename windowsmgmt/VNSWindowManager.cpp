#include "windowsmgmt/VNSWindowManager.h"

#include "base/Log.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace vl {

namespace {

std::string idText(std::uint32_t id) {
    return std::to_string(id);
}

double intersectionArea(const DisplayRect& a, const DisplayRect& b) {
    const double w = std::min(a.maxX(), b.maxX()) - std::max(a.minX(), b.minX());
    const double h = std::min(a.maxY(), b.maxY()) - std::max(a.minY(), b.minY());
    return w > 0 && h > 0 ? w * h : 0;
}

std::vector<ProcessID> processesInOrder(const std::vector<VNSWindowInfo>& windows) {
    std::vector<ProcessID> pids;
    for (const auto& w : windows)
        if (std::find(pids.begin(), pids.end(), w.appPID) == pids.end()) pids.push_back(w.appPID);
    return pids;
}

}  // namespace

std::shared_ptr<VNSWindowManager> VNSWindowManager::make(DisplayService& displays,
                                                         WindowService& windows, Options options,
                                                         DispatchQueue& queue, TimerClock& clock) {
    return std::shared_ptr<VNSWindowManager>(
        new VNSWindowManager(displays, windows, std::move(options), queue, clock));
}

VNSWindowManager::VNSWindowManager(DisplayService& displays, WindowService& windows,
                                   Options options, DispatchQueue& queue, TimerClock& clock)
    : displays_(displays),
      windows_(windows),
      options_(std::move(options)),
      queue_(queue),
      clock_(clock) {}

VNSWindowManager::~VNSWindowManager() {
    stopNewWindowObserver();
}

// MARK: - Displays

std::vector<VNSDisplayInfo> VNSWindowManager::refreshDisplays() {
    std::vector<VNSDisplayInfo> result;
    auto list = displays_.activeDisplayList(maxDisplays);
    const DisplayID main = displays_.mainDisplay();
    for (auto id : list.value) {
        VNSDisplayInfo info;
        info.displayID = id;
        info.bounds = displays_.bounds(id);
        info.visibleFrame = info.bounds;
        info.scaleFactor = 1.0;
        info.isMain = id == main;
        info.originX = static_cast<std::int32_t>(std::trunc(info.bounds.x));
        info.originY = static_cast<std::int32_t>(std::trunc(info.bounds.y));
        result.push_back(info);
    }
    connectedDisplays_ = result;
    return result;
}

DisplayID VNSWindowManager::displayContaining(DisplayRect frame) {
    DisplayID best = nullDisplayID;
    double bestArea = 0;
    for (auto id : displays_.activeDisplayList(maxDisplays).value) {
        const double area = intersectionArea(displays_.bounds(id), frame);
        if (area > bestArea) {
            bestArea = area;
            best = id;
        }
    }
    return best != nullDisplayID ? best : displays_.mainDisplay();
}

std::optional<DisplayRect> VNSWindowManager::liveDisplayBounds(DisplayID display) {
    auto list = displays_.activeDisplayList(maxDisplays).value;
    if (std::find(list.begin(), list.end(), display) == list.end()) return std::nullopt;
    return displays_.bounds(display);
}

void VNSWindowManager::setMainDisplay(DisplayID display) {
    auto current = refreshDisplays();
    auto target = std::find_if(current.begin(), current.end(),
                               [display](const auto& d) { return d.displayID == display; });
    if (target == current.end()) return;
    auto begun = displays_.beginConfiguration();
    if (!begun.ok() || !begun.value) {
        logMsg(std::string("[WindowMgmt] setMainDisplay: failed: ") + description(begun.error));
        return;
    }
    auto& configuration = *begun.value;
    for (const auto& d : current)
        configuration.configureDisplayOrigin(d.displayID, d.originX - target->originX,
                                             d.originY - target->originY);
    if (auto error = configuration.complete(ConfigureOption::permanently);
        error != DisplayError::success) {
        logMsg(std::string("[WindowMgmt] setMainDisplay: failed: ") + description(error));
        configuration.cancel();
    }
}

void VNSWindowManager::restoreMainDisplay() {
    if (!lastSnapshot_ || lastSnapshot_->displays.empty()) {
        logMsg("[DisplayWindowManager] No display arrangement to restore");
        return;
    }
    auto begun = displays_.beginConfiguration();
    if (!begun.ok() || !begun.value) {
        logMsg(std::string("[DisplayWindowManager] Failed to begin configuration: ") +
               description(begun.error));
        return;
    }
    auto& configuration = *begun.value;
    auto active = displays_.activeDisplayList(maxDisplays).value;
    for (const auto& saved : lastSnapshot_->displays) {
        if (std::find(active.begin(), active.end(), saved.displayID) == active.end()) {
            logMsg("  Display " + idText(saved.displayID) + " no longer connected, skipping.");
            continue;
        }
        logMsg("  ✓ Restoring display " + idText(saved.displayID) + " to (" +
               std::to_string(saved.originX) + ", " + std::to_string(saved.originY) + ")");
        configuration.configureDisplayOrigin(saved.displayID, saved.originX, saved.originY);
    }
    if (auto error = configuration.complete(ConfigureOption::permanently);
        error != DisplayError::success) {
        logMsg(std::string("[DisplayWindowManager] Failed to complete configuration: ") +
               description(error));
        configuration.cancel();
    }
}

// MARK: - Windows

bool VNSWindowManager::excluded(const WindowRecord& window) const {
    return window.layer() != 0 || (options_.ownPID != 0 && window.pid == options_.ownPID) ||
           options_.excludedOwners.contains(window.ownerName);
}

bool VNSWindowManager::trusted(const char* operation) {
    if (windows_.trusted()) return true;
    logMsg(std::string("[WindowMgmt] ") + operation +
           ": no window manager with EWMH support runs; nothing moved");
    return false;
}

std::vector<VNSWindowInfo> VNSWindowManager::captureWindows() {
    std::vector<VNSWindowInfo> result;
    for (const auto& window : windows_.windowList()) {
        if (excluded(window)) continue;
        VNSWindowInfo info;
        info.windowID = window.id;
        info.appBundleID = window.appID;
        info.appPID = window.pid;
        info.windowTitle = window.title;
        info.frame = window.frame;
        info.displayID = displayContaining(window.frame);
        result.push_back(std::move(info));
    }
    return result;
}

void VNSWindowManager::rememberAllDisplays() {
    auto displays = refreshDisplays();
    savedWindows_ = captureWindows();
    lastSnapshot_ = VNSLayoutSnapshot{std::chrono::system_clock::now(), displays, savedWindows_};
}

std::optional<DisplayRect> VNSWindowManager::axWindowFrame(WindowID window) {
    return windows_.frame(window);
}

std::optional<WindowID> VNSWindowManager::frontmostFocusedWindow() {
    return windows_.focusedWindow();
}

std::string VNSWindowManager::titleOf(WindowID window) {
    auto record = windows_.window(window);
    return record ? record->title : std::string();
}

bool VNSWindowManager::setWindowFrame(WindowID window, DisplayRect frame) {
    auto error = windows_.setFrame(window, frame);
    if (error == WindowError::success) return true;
    logMsg("[WindowMgmt] '" + titleOf(window) + "' position set failed: " + description(error));
    return false;
}

void VNSWindowManager::setWindowFrames(const std::vector<WindowService::FrameRequest>& moves) {
    auto results = windows_.setFrames(moves);
    for (std::size_t i = 0; i < moves.size() && i < results.size(); ++i)
        if (results[i] != WindowError::success)
            logMsg("[WindowMgmt] '" + titleOf(moves[i].id) +
                   "' position set failed: " + description(results[i]));
}

int VNSWindowManager::matchWindows(const std::vector<VNSWindowInfo>& saved,
                                   const std::function<void(const VNSWindowInfo&, WindowID)>& apply,
                                   const std::function<void(const VNSWindowInfo&)>& unmatched) {
    int count = 0;
    for (ProcessID pid : processesInOrder(saved)) {
        struct Live {
            WindowID id;
            DisplayRect frame;
            std::string title;
            bool used = false;
        };
        std::vector<Live> live;
        for (auto id : windows_.windowsOfProcess(pid)) {
            auto record = windows_.window(id);
            if (record && record->frame.width > 0 && record->frame.height > 0)
                live.push_back({id, record->frame, record->title});
        }
        for (const auto& want : saved) {
            if (want.appPID != pid) continue;
            Live* best = nullptr;
            double bestScore = -1;
            for (auto& candidate : live) {
                if (candidate.used) continue;
                double score = 0;
                if (!want.windowTitle.empty() && want.windowTitle == candidate.title)
                    score += 10000;
                const double sizeScore =
                    5000 - (std::abs(want.frame.width - candidate.frame.width) +
                            std::abs(want.frame.height - candidate.frame.height));
                if (sizeScore >= 0) score += sizeScore;
                if (score > bestScore) {
                    bestScore = score;
                    best = &candidate;
                }
            }
            if (!best) {
                if (unmatched) unmatched(want);
                continue;
            }
            best->used = true;
            apply(want, best->id);
            ++count;
        }
    }
    return count;
}

void VNSWindowManager::restoreAllWindows() {
    if (savedWindows_.empty()) {
        logMsg("[DisplayWindowManager] No saved windows to restore");
        return;
    }
    std::vector<WindowService::FrameRequest> moves;
    const int count = matchWindows(
        savedWindows_,
        [&](const VNSWindowInfo& want, WindowID id) {
            moves.push_back({id, want.frame});
            logMsg("  ✓ Restored '" + want.windowTitle + "' WinID:" + idText(want.windowID));
        },
        [](const VNSWindowInfo& want) {
            logMsg("  ✗ No AX window match for '" + want.windowTitle +
                   "' WinID:" + idText(want.windowID));
        });
    setWindowFrames(moves);
    logMsg("[DisplayWindowManager] Restored " + std::to_string(count) + " window(s).");
}

int VNSWindowManager::restoreWindows(const VNSLayoutSnapshot& snapshot) {
    std::vector<WindowService::FrameRequest> moves;
    const int count = matchWindows(snapshot.windows,
                                   [&](const VNSWindowInfo& want, WindowID id) {
                                       moves.push_back({id, want.frame});
                                   },
                                   {});
    setWindowFrames(moves);
    logMsg("[WindowMgmt] Restored " + std::to_string(count) + " window(s) from client layout");
    return count;
}

// MARK: - Placement

DisplayRect VNSWindowManager::remapWindowFrame(DisplayRect frame, DisplayRect from,
                                               DisplayRect to) {
    const double availableWidth = to.width - 40;
    const double availableHeight = to.height - 40;
    double width = frame.width;
    double height = frame.height;
    if (width > availableWidth || height > availableHeight) {
        const double s = std::min(availableWidth / width, availableHeight / height);
        width = std::floor(width * s);
        height = std::floor(height * s);
    }
    const double preferredX = frame.x - from.x + to.x;
    const double preferredY = frame.y - from.y + to.y;
    const double x = std::max(to.minX() + 20, std::min(to.maxX() - width - 20, preferredX));
    const double y = std::max(to.minY() + 20, std::min(to.maxY() - height - 20, preferredY));
    return {x, y, width, height};
}

void VNSWindowManager::moveAllWindowsToDisplay(DisplayID display) {
    refreshDisplays();
    auto target = liveDisplayBounds(display);
    if (!target) {
        logMsg("[WindowMgmt] Display " + idText(display) + " not found.");
        return;
    }
    if (!trusted("moveAllWindowsToDisplay")) return;
    if (savedWindows_.empty()) {
        logMsg(
            "[WindowMgmt] moveAllWindowsToDisplay: nothing was captured; moving the live windows");
        moveLiveWindowsToDisplay(display, *target);
        return;
    }
    std::vector<WindowService::FrameRequest> moves;
    const int count = matchWindows(
        savedWindows_,
        [&](const VNSWindowInfo& want, WindowID id) {
            auto live = axWindowFrame(id);
            if (!live) return;
            // Already there (the second pass of a session start): moving it again would shift
            // it by the displays' offset once more.
            if (displayContaining(*live) == display) return;
            // From the display the window was on; when that one is gone, the one it is on now.
            auto from = liveDisplayBounds(want.displayID);
            if (!from) from = displays_.bounds(displayContaining(*live));
            moves.push_back({id, remapWindowFrame(*live, *from, *target)});
        },
        [](const VNSWindowInfo& want) {
            logMsg("[WindowMgmt] No AX window match for '" + want.windowTitle +
                   "' WinID:" + idText(want.windowID));
        });
    setWindowFrames(moves);
    logMsg("[WindowMgmt] Moved " + std::to_string(count) + " saved window(s) to display " +
           idText(display));
}

void VNSWindowManager::moveLiveWindowsToDisplay(DisplayID display, DisplayRect target) {
    auto list = windows_.windowList();
    logMsg("[WindowMgmt] CGWindowList returned " + std::to_string(list.size()) + " entries");
    std::vector<ProcessID> pids;
    for (const auto& window : list)
        if (!excluded(window) && std::find(pids.begin(), pids.end(), window.pid) == pids.end())
            pids.push_back(window.pid);
    logMsg("[WindowMgmt] Found " + std::to_string(pids.size()) + " application(s)");
    std::vector<WindowService::FrameRequest> moves;
    for (ProcessID pid : pids) {
        auto own = windows_.windowsOfProcess(pid);
        logMsg("[WindowMgmt]   " + std::to_string(own.size()) + " window(s) of pid " +
               std::to_string(pid));
        for (auto id : own) {
            auto frame = axWindowFrame(id);
            if (!frame) {
                logMsg("    skip window — posErr=" +
                       std::string(description(WindowError::notFound)));
                continue;
            }
            if (frame->width <= 0 || frame->height <= 0) continue;
            auto from = displays_.bounds(displayContaining(*frame));
            moves.push_back({id, remapWindowFrame(*frame, from, target)});
        }
    }
    setWindowFrames(moves);
    logMsg("[WindowMgmt] Moved the live windows to display " + idText(display));
}

int VNSWindowManager::moveWindowsToVDIfNotOnVD(DisplayID virtualDisplay) {
    auto target = liveDisplayBounds(virtualDisplay);
    if (!target) {
        logMsg("[WindowMgmt] moveWindowsToVDIfNotOnVD: virtual display " + idText(virtualDisplay) +
               " not found");
        return 0;
    }
    if (!trusted("moveWindowsToVDIfNotOnVD")) return 0;
    std::vector<ProcessID> pids;
    for (const auto& window : windows_.windowList())
        if (!excluded(window) && std::find(pids.begin(), pids.end(), window.pid) == pids.end())
            pids.push_back(window.pid);
    int count = 0;
    std::vector<WindowService::FrameRequest> moves;
    for (ProcessID pid : pids) {
        for (auto id : windows_.windowsOfProcess(pid)) {
            auto frame = axWindowFrame(id);
            if (!frame || frame->width <= 40 || frame->height <= 40) continue;
            const DisplayID source = displayContaining(*frame);
            if (source == virtualDisplay) continue;
            double width = frame->width;
            double height = frame->height;
            if (width > target->width || height > target->height) {
                width = std::floor(target->width * 2 / 3);
                height = std::floor(target->height * 2 / 3);
            }
            const double centredX = target->x + (target->width - width) / 2;
            const double centredY = target->y + (target->height - height) / 2;
            const double x = std::max(target->minX(), std::min(target->maxX() - width, centredX));
            const double y = std::max(target->minY(), std::min(target->maxY() - height, centredY));
            moves.push_back({id, {x, y, width, height}});
            logMsg("[WindowMgmt] ↪︎ moveWindowsToVDIfNotOnVD: moved '" + titleOf(id) +
                   "' from " + idText(source));
            ++count;
        }
    }
    setWindowFrames(moves);
    logMsg("[WindowMgmt] moveWindowsToVDIfNotOnVD: moved " + std::to_string(count) +
           " window(s) to VD " + idText(virtualDisplay));
    return count;
}

bool VNSWindowManager::moveActiveWindowToDisplay(DisplayID display, bool alignRight) {
    if (!trusted("moveActiveWindowToDisplay")) return false;
    auto target = liveDisplayBounds(display);
    if (!target) {
        logMsg("[WindowMgmt] moveActiveWindowToDisplay: display " + idText(display) + " not found");
        return false;
    }
    auto focused = frontmostFocusedWindow();
    auto record = focused ? windows_.window(*focused) : std::nullopt;
    if (!record) {
        logMsg("[WindowMgmt] moveActiveWindowToDisplay: no focused window for pid 0");
        return false;
    }
    const DisplayRect frame = record->frame;
    const DisplayID source = displayContaining(frame);
    const DisplayRect sourceBounds = displays_.bounds(source);
    double width = frame.width;
    double height = frame.height;
    double y = 0;
    if (width <= target->width && height <= target->height) {
        const double preferredY = frame.y - sourceBounds.y + target->y;
        y = std::max(target->minY(), std::min(target->maxY() - height, preferredY));
    } else {
        width = std::floor(target->width * 2 / 3);
        height = std::floor(target->height * 2 / 3);
        y = target->minY() + 20;
    }
    const double x = alignRight ? target->maxX() - 20 - width : target->minX() + 20;
    const bool moved = setWindowFrame(*focused, {x, y, width, height});
    logMsg("[WindowMgmt] ↪︎ moveActiveWindowToDisplay: moved '" + record->title + "' from " +
           idText(source) + " on display " + idText(display));
    return moved;
}

bool VNSWindowManager::snapActiveWindowIfCrossedDisplay(bool movingRight) {
    if (!windows_.trusted()) return false;
    auto focused = frontmostFocusedWindow();
    auto record = focused ? windows_.window(*focused) : std::nullopt;
    if (!record || (options_.ownPID != 0 && record->pid == options_.ownPID)) return false;
    const DisplayRect frame = record->frame;
    if (frame.width <= 40 || frame.height <= 40) return false;
    const DisplayID current = displayContaining(frame);
    const double edge = movingRight ? frame.maxX() : frame.minX();
    const DisplayID crossed = displayContaining({edge, frame.y + frame.height / 2, 1, 1});
    if (crossed == current) return false;
    return moveActiveWindowToDisplay(crossed, !movingRight);
}

// MARK: - Following

void VNSWindowManager::startNewWindowObserver(DisplayID targetDisplay) {
    stopNewWindowObserver();
    newWindowTargetDisplay_ = targetDisplay;
    auto following = std::make_shared<const bool>(true);
    following_ = following;
    for (ProcessID pid : windows_.regularApplications())
        if (pid != options_.ownPID) axObservers_.insert(pid);

    // Events arrive on the window service's thread and are handled on our queue.
    std::weak_ptr<VNSWindowManager> weak = weak_from_this();
    std::weak_ptr<const bool> alive = following;
    auto onQueue = [weak, alive, &queue = queue_](std::function<void(VNSWindowManager&)> step) {
        queue.async([weak, alive, step = std::move(step)] {
            auto self = weak.lock();
            if (self && alive.lock()) step(*self);
        });
    };
    WindowEvents events;
    events.windowCreated = [onQueue](WindowID window, ProcessID) {
        onQueue([window](VNSWindowManager& self) {
            std::weak_ptr<VNSWindowManager> weak = self.weak_from_this();
            std::weak_ptr<const bool> alive = self.following_;
            self.pending_.push_back(self.clock_.scheduleAfter(
                self.queue_, self.options_.newWindowDelay, [weak, alive, window] {
                    auto self = weak.lock();
                    if (self && alive.lock()) self->relocateNewWindow(window);
                }));
        });
    };
    events.focusedWindowChanged = [onQueue](std::optional<WindowID> window) {
        onQueue(
            [window](VNSWindowManager& self) { self.reportActiveWindowDisplayIfChanged(window); });
    };
    events.applicationLaunched = [onQueue](ProcessID pid) {
        onQueue([pid](VNSWindowManager& self) {
            std::weak_ptr<VNSWindowManager> weak = self.weak_from_this();
            std::weak_ptr<const bool> alive = self.following_;
            self.pending_.push_back(self.clock_.scheduleAfter(
                self.queue_, self.options_.launchDelay, [weak, alive, pid] {
                    auto self = weak.lock();
                    if (self && alive.lock() && pid != self->options_.ownPID)
                        self->axObservers_.insert(pid);
                }));
        });
    };
    events.applicationTerminated = [onQueue](ProcessID pid) {
        onQueue([pid](VNSWindowManager& self) { self.axObservers_.erase(pid); });
    };
    observation_ = windows_.observe(std::move(events));
    logMsg("[WindowMgmt] startNewWindowObserver: target=" + idText(targetDisplay) +
           ", attached to " + std::to_string(axObservers_.size()) + " app(s)");
}

void VNSWindowManager::stopNewWindowObserver() {
    observation_.reset();
    following_.reset();
    for (auto& cancel : pending_)
        if (cancel) cancel();
    pending_.clear();
    axObservers_.clear();
    newWindowTargetDisplay_ = nullDisplayID;
}

void VNSWindowManager::relocateNewWindow(WindowID window) {
    if (newWindowTargetDisplay_ == nullDisplayID) return;
    auto record = windows_.window(window);
    if (!record || excluded(*record)) return;
    const DisplayRect frame = record->frame;
    if (frame.width <= 40 || frame.height <= 40) return;
    const DisplayID source = displayContaining(frame);
    if (source == newWindowTargetDisplay_) return;
    auto target = liveDisplayBounds(newWindowTargetDisplay_);
    if (!target) return;
    setWindowFrame(window, remapWindowFrame(frame, displays_.bounds(source), *target));
    logMsg("[WindowMgmt] ↪︎ Relocated new window '" + record->title + "' from display " +
           idText(source) + " to " + idText(newWindowTargetDisplay_));
}

void VNSWindowManager::reportActiveWindowDisplayIfChanged(std::optional<WindowID> window) {
    if (!windows_.trusted()) return;
    std::optional<DisplayRect> frame;
    if (window) frame = axWindowFrame(*window);
    if (!frame) {
        auto focused = frontmostFocusedWindow();
        if (!focused) return;
        frame = axWindowFrame(*focused);
        if (!frame) return;
    }
    const DisplayID display = displayContaining(*frame);
    if (intersectionArea(displays_.bounds(display), *frame) <= 0) return;
    if (display == lastActiveDisplay_) return;
    lastActiveDisplay_ = display;
    if (onActiveWindowDisplayChanged) onActiveWindowDisplayChanged(display);
}

}  // namespace vl
