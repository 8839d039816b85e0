#include "platform/windows/x11/X11WindowService.h"

#include "platform/windows/FrameWait.h"
#include "platform/windows/x11/WindowConnection.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <thread>

#include <poll.h>
#include <unistd.h>

namespace vl {

namespace {

using x11::WindowConnection;
using namespace std::chrono_literals;

constexpr std::uint32_t sourcePager = 2;  // requests on behalf of the user, never ignored
constexpr std::uint32_t gravityNorthWest = 1;
constexpr std::uint32_t stateRemove = 0;

bool close(const DisplayRect& a, const DisplayRect& b) {
    return std::abs(a.x - b.x) <= 1 && std::abs(a.y - b.y) <= 1;
}

}  // namespace

// Watches the root window on a connection of its own; blocks in poll() while nothing changes.
class X11WindowService::Observation final : public WindowObservation {
  public:
    Observation(std::unique_ptr<WindowConnection> connection, WindowEvents events, Report report)
        : connection_(std::move(connection)),
          events_(std::move(events)),
          report_(std::move(report)) {
        if (::pipe(wake_) != 0) wake_[0] = wake_[1] = -1;
        const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(connection_->raw(), connection_->root(), XCB_CW_EVENT_MASK,
                                     &mask);
        xcb_flush(connection_->raw());
        for (auto window : connection_->clientList(false)) {
            known_.insert(window);
            if (auto pid = connection_->pid(window)) pids_[window] = pid;
        }
        active_ = connection_->activeWindow();
        if (active_ && !known_.contains(*active_)) active_.reset();
        thread_ = std::thread([this] { run(); });
    }
    ~Observation() override {
        if (wake_[1] >= 0) [[maybe_unused]]
            auto n = ::write(wake_[1], "x", 1);
        thread_.join();
        for (int fd : wake_)
            if (fd >= 0) ::close(fd);
    }

  private:
    void run() {
        const int fd = xcb_get_file_descriptor(connection_->raw());
        // A transient "no active window" between two focused windows is reported only if it lasts.
        std::chrono::steady_clock::time_point noFocusSince{};
        bool noFocus = false;
        while (true) {
            int timeout = -1;
            if (noFocus) {
                auto left = noFocusSince + 150ms - std::chrono::steady_clock::now();
                timeout = std::max<int>(
                    0, int(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
            }
            bool clients = false, active = false, any = false;
            // Replies read while handling the last events may have queued more: take those before
            // sleeping, since the socket will not wake us for them.
            while (auto* event = xcb_poll_for_event(connection_->raw())) {
                any = true;
                if ((event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY) {
                    auto* property = reinterpret_cast<xcb_property_notify_event_t*>(event);
                    if (property->atom == connection_->atom(WindowConnection::netClientList))
                        clients = true;
                    if (property->atom == connection_->atom(WindowConnection::netActiveWindow))
                        active = true;
                }
                std::free(event);
            }
            if (!any && !connection_->broken()) {
                pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
                ::poll(fds, 2, timeout);
                if (fds[1].revents) return;
                if (!(fds[0].revents) && !noFocus) continue;
            }
            {
                pollfd stop{wake_[0], POLLIN, 0};
                if (::poll(&stop, 1, 0) > 0) return;
            }
            if (connection_->broken()) {
                if (report_) report_("Window observer: the X connection was lost");
                return;
            }
            if (clients) clientListChanged();
            if (active) {
                auto now = connection_->activeWindow();
                if (now) {
                    noFocus = false;
                    if (now != active_) {
                        active_ = now;
                        if (events_.focusedWindowChanged) events_.focusedWindowChanged(now);
                    }
                } else if (active_ && !noFocus) {
                    noFocus = true;
                    noFocusSince = std::chrono::steady_clock::now();
                }
            }
            if (noFocus && std::chrono::steady_clock::now() - noFocusSince >= 150ms) {
                noFocus = false;
                if (!connection_->activeWindow() && active_) {
                    active_.reset();
                    if (events_.focusedWindowChanged) events_.focusedWindowChanged(std::nullopt);
                }
            }
        }
    }

    void clientListChanged() {
        auto list = connection_->clientList(false);
        std::set<xcb_window_t> now(list.begin(), list.end());
        std::set<ProcessID> livePids;
        for (auto& [window, pid] : pids_)
            if (now.contains(window)) livePids.insert(pid);
        for (auto window : list) {
            if (known_.contains(window)) continue;
            auto pid = connection_->pid(window);
            const bool newApplication = pid > 0 && !livePids.contains(pid);
            if (pid > 0) {
                pids_[window] = pid;
                livePids.insert(pid);
            }
            if (newApplication && events_.applicationLaunched) events_.applicationLaunched(pid);
            if (events_.windowCreated) events_.windowCreated(window, pid);
        }
        std::set<ProcessID> gonePids;
        for (auto it = pids_.begin(); it != pids_.end();) {
            if (now.contains(it->first)) {
                ++it;
                continue;
            }
            if (!livePids.contains(it->second)) gonePids.insert(it->second);
            it = pids_.erase(it);
        }
        for (auto pid : gonePids)
            if (events_.applicationTerminated) events_.applicationTerminated(pid);
        // A window manager may leave a closed window's id as the active one, and X reuses ids:
        // a closed window is never the focused one.
        if (active_ && !now.contains(*active_)) active_.reset();
        known_ = std::move(now);
    }

    std::unique_ptr<WindowConnection> connection_;
    WindowEvents events_;
    Report report_;
    int wake_[2] = {-1, -1};
    std::set<xcb_window_t> known_;
    std::map<xcb_window_t, ProcessID> pids_;
    std::optional<xcb_window_t> active_;
    std::thread thread_;
};

X11WindowService::X11WindowService(std::string displayName, Report report)
    : displayName_(std::move(displayName)), report_(std::move(report)) {}

X11WindowService::~X11WindowService() = default;

x11::WindowConnection* X11WindowService::connection() {
    if (!connection_ || connection_->broken()) connection_ = WindowConnection::open(displayName_);
    return connection_.get();
}

bool X11WindowService::trusted() {
    std::lock_guard lock(mutex_);
    auto* c = connection();
    return c && c->windowManagerRunning();
}

std::vector<WindowRecord> X11WindowService::windowList() {
    std::lock_guard lock(mutex_);
    std::vector<WindowRecord> result;
    auto* c = connection();
    if (!c) return result;
    auto stacking = c->clientList(true);
    for (auto it = stacking.rbegin(); it != stacking.rend(); ++it) {
        if (c->hidden(*it)) continue;
        auto record = c->record(*it);
        if (record && record->kind != WindowKind::desktop) result.push_back(std::move(*record));
    }
    return result;
}

std::optional<WindowRecord> X11WindowService::window(WindowID id) {
    std::lock_guard lock(mutex_);
    auto* c = connection();
    if (!c) return std::nullopt;
    return c->record(id);
}

std::vector<WindowID> X11WindowService::windowsOfProcess(ProcessID pid) {
    std::lock_guard lock(mutex_);
    std::vector<WindowID> result;
    auto* c = connection();
    if (!c || pid <= 0) return result;
    auto windows = c->clientList(false);
    auto owners = c->pids(windows);
    for (std::size_t i = 0; i < windows.size(); ++i) {
        if (owners[i] != pid) continue;
        auto kind = c->kind(windows[i]);
        if (kind == WindowKind::normal || kind == WindowKind::dialog) result.push_back(windows[i]);
    }
    return result;
}

std::vector<ProcessID> X11WindowService::regularApplications() {
    std::lock_guard lock(mutex_);
    std::vector<ProcessID> result;
    auto* c = connection();
    if (!c) return result;
    auto windows = c->clientList(false);
    auto owners = c->pids(windows);
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const ProcessID owner = owners[i];
        if (owner <= 0 || std::find(result.begin(), result.end(), owner) != result.end()) continue;
        auto kind = c->kind(windows[i]);
        if (kind == WindowKind::normal || kind == WindowKind::dialog) result.push_back(owner);
    }
    return result;
}

std::optional<DisplayRect> X11WindowService::frame(WindowID id) {
    std::lock_guard lock(mutex_);
    auto* c = connection();
    if (!c) return std::nullopt;
    return c->frame(id);
}

WindowError X11WindowService::setFrame(WindowID id, DisplayRect target) {
    return setFrames({{id, target}}).front();
}

std::vector<WindowError> X11WindowService::setFrames(const std::vector<FrameRequest>& requests) {
    std::lock_guard lock(mutex_);
    std::vector<WindowError> results(requests.size(), WindowError::success);
    auto* c = connection();
    if (!c || !c->windowManagerRunning()) {
        std::fill(results.begin(), results.end(),
                  c ? WindowError::noWindowManager : WindowError::invalidConnection);
        return results;
    }
    // Every request goes out first; the manager then works through them while we wait.
    std::vector<std::size_t> waiting;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const auto& [id, target] = requests[i];
        if (!c->frame(id)) {
            results[i] = WindowError::notFound;
            continue;
        }
        // A maximised or full-screen window ignores geometry requests until it leaves that state.
        for (auto state : c->cardinals(id, c->atom(WindowConnection::netWmState), XCB_ATOM_ATOM)) {
            if (state == c->atom(WindowConnection::stateMaximizedVert) ||
                state == c->atom(WindowConnection::stateMaximizedHorz) ||
                state == c->atom(WindowConnection::stateFullscreen))
                c->sendToRoot(id, c->atom(WindowConnection::netWmState),
                              {stateRemove, state, 0, sourcePager, 0});
        }
        // Position with north-west gravity is the frame's corner; the size is the client area's.
        auto [left, right, top, bottom] = c->frameExtents(id);
        const auto width = std::max(1.0, target.width - left - right);
        const auto height = std::max(1.0, target.height - top - bottom);
        const std::uint32_t flags = gravityNorthWest | (0xfu << 8) | (sourcePager << 12);
        c->sendToRoot(id, c->atom(WindowConnection::netMoveResizeWindow),
                      {flags, static_cast<std::uint32_t>(static_cast<std::int32_t>(target.x)),
                       static_cast<std::uint32_t>(static_cast<std::int32_t>(target.y)),
                       static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)});
        waiting.push_back(i);
    }
    xcb_flush(c->raw());

    // The manager answers asynchronously: wait briefly for the windows to arrive.
    awaitFrames(std::move(waiting), results, 250ms, 1ms, [&] {
        return [&](std::size_t i) {
            const auto now = c->frame(requests[i].id);
            if (!now) return FrameArrival::gone;
            return close(*now, requests[i].frame) ? FrameArrival::arrived : FrameArrival::waiting;
        };
    });
    return results;
}

WindowError X11WindowService::raise(WindowID id) {
    std::lock_guard lock(mutex_);
    auto* c = connection();
    if (!c) return WindowError::invalidConnection;
    if (!c->frame(id)) return WindowError::notFound;
    if (!c->windowManagerRunning()) {
        const std::uint32_t above = XCB_STACK_MODE_ABOVE;
        xcb_configure_window(c->raw(), id, XCB_CONFIG_WINDOW_STACK_MODE, &above);
        xcb_set_input_focus(c->raw(), XCB_INPUT_FOCUS_POINTER_ROOT, id, XCB_CURRENT_TIME);
    } else {
        c->sendToRoot(id, c->atom(WindowConnection::netActiveWindow),
                      {sourcePager, XCB_CURRENT_TIME, 0, 0, 0});
    }
    xcb_flush(c->raw());
    return WindowError::success;
}

std::optional<WindowID> X11WindowService::focusedWindow() {
    std::lock_guard lock(mutex_);
    auto* c = connection();
    if (!c) return std::nullopt;
    return c->activeWindow();
}

std::optional<WindowID> X11WindowService::windowAtPoint(DisplayPoint point) {
    for (const auto& window : windowList())
        if (window.layer() == 0 && window.frame.contains(point)) return window.id;
    return std::nullopt;
}

std::unique_ptr<WindowObservation> X11WindowService::observe(WindowEvents events) {
    auto connection = WindowConnection::open(displayName_);
    if (!connection) {
        if (report_) report_("Window observer: cannot open the X display");
        return nullptr;
    }
    return std::make_unique<Observation>(std::move(connection), std::move(events), report_);
}

}  // namespace vl
