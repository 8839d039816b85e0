#include "platform/windows/gnomeshell/GnomeShellWindowService.h"

#include "platform/windows/FrameWait.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

namespace vl {

namespace {

using namespace std::chrono_literals;

constexpr const char* interfaceName = "com.vantrellink.Windows";
constexpr const char* shellName = "org.gnome.Shell";
constexpr const char* shellPath = "/org/gnome/Shell";
constexpr const char* extensionsInterface = "org.gnome.Shell.Extensions";
// A Wayland client answers a new size with its next frame; a busy machine takes its time.
constexpr auto frameWait = 500ms;

struct ShellWindow {
    WindowRecord record;
    std::uint32_t sequence = 0;  // the order windows were made in
    bool minimised = false;
};

std::string callFailure(const char* method, const sd_bus_error& error, int r) {
    std::string text = std::string(method) + ": ";
    return text + (error.message ? error.message : std::strerror(-r));
}

std::string programName(ProcessID pid) {
    if (pid <= 0) return {};
    std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
    std::string line;
    std::getline(file, line);
    return line;
}

WindowKind kindFromShell(std::uint32_t kind) {
    return kind <= std::uint32_t(WindowKind::other) ? WindowKind(kind) : WindowKind::other;
}

bool applicationWindow(const WindowRecord& record) {
    return record.layer() == 0;
}

bool close(const DisplayRect& a, const DisplayRect& b) {
    return std::abs(a.x - b.x) <= 1 && std::abs(a.y - b.y) <= 1 &&
           std::abs(a.width - b.width) <= 1 && std::abs(a.height - b.height) <= 1;
}

bool nameHasOwner(sd_bus* bus, const char* name) {
    sd_bus_message* reply = nullptr;
    int owned = 0;
    int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s", name);
    if (r >= 0) r = sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    return r >= 0 && owned;
}

// Reads one List answer into `windows`; negative: sd-bus's error.
int readList(sd_bus_message* reply, std::vector<ShellWindow>& windows) {
    int r = sd_bus_message_enter_container(reply, 'a', "(uissiiiiiuub)");
    while (r >= 0) {
        std::uint32_t id = 0, kind = 0, sequence = 0;
        std::int32_t pid = 0, x = 0, y = 0, width = 0, height = 0, monitor = 0;
        int minimised = 0;
        const char* title = nullptr;
        const char* appID = nullptr;
        r = sd_bus_message_read(reply, "(uissiiiiiuub)", &id, &pid, &title, &appID, &x, &y, &width,
                                &height, &monitor, &kind, &sequence, &minimised);
        if (r <= 0) break;
        ShellWindow window;
        window.record.id = id;
        window.record.pid = pid;
        window.record.ownerName = programName(pid);
        window.record.appID = appID ? appID : "";
        window.record.title = title ? title : "";
        window.record.frame = {double(x), double(y), double(width), double(height)};
        window.record.kind = kindFromShell(kind);
        window.sequence = sequence;
        window.minimised = minimised;
        windows.push_back(std::move(window));
    }
    return r;
}

// Every window the shell lists, front to back, layers and minimised windows included; none when
// it cannot be asked.
// Said once each time the list stops being readable.
std::optional<std::vector<ShellWindow>> shellWindows(
    MutterBus& bus, const std::function<void(const std::string&)>& report,
    std::atomic<bool>& unreadable) {
    std::vector<ShellWindow> windows;
    std::string problem;
    const bool answered = bus.withBus([&](sd_bus* c) {
        sd_bus_error callError = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int r = sd_bus_call_method(c, shellWindowsName, shellExtensionPath, interfaceName, "List",
                                   &callError, &reply, "");
        if (r < 0) problem = callFailure("List", callError, r);
        if (r >= 0 && (r = readList(reply, windows)) < 0)
            problem = std::string("List's answer: ") + std::strerror(-r);
        sd_bus_error_free(&callError);
        sd_bus_message_unref(reply);
        return r >= 0;
    });
    if (!answered) {
        if (!unreadable.exchange(true) && report)
            report("🟨 The shell's window list cannot be read: " + problem);
        return std::nullopt;
    }
    unreadable = false;
    return windows;
}

// A method of the extension answering whether it found the window.
WindowError callOnWindow(MutterBus& bus, const char* method,
                         const std::function<int(sd_bus_message*)>& append) {
    return bus.withBus([&](sd_bus* c) {
        sd_bus_message* call = nullptr;
        sd_bus_message* reply = nullptr;
        int found = 0;
        int r = sd_bus_message_new_method_call(c, &call, shellWindowsName, shellExtensionPath,
                                               interfaceName, method);
        if (r >= 0) r = append(call);
        if (r >= 0) r = sd_bus_call(c, call, 0, nullptr, &reply);
        if (r >= 0) r = sd_bus_message_read(reply, "b", &found);
        sd_bus_message_unref(reply);
        sd_bus_message_unref(call);
        if (r < 0) return WindowError::invalidConnection;
        return found ? WindowError::success : WindowError::notFound;
    });
}

}  // namespace

// Signals are read on the bus thread, which holds the connection; they are handed to a thread of
// the observation's own so that its handlers may call the service. Processes are followed through
// their windows as the X11 backend follows its client list: an application is launched with its
// first window and terminated with its last. The shell turns extensions off on its lock screen;
// when ours is back, the list tells what was made and closed meanwhile.
class GnomeShellWindowService::Observation final : public WindowObservation {
  public:
    using Listed = std::function<std::vector<WindowRecord>()>;
    using Focused = std::function<std::optional<WindowID>()>;

    // `listed` is read once the signals are matched, so that no window made meanwhile is missed.
    Observation(std::shared_ptr<MutterBus> bus, WindowEvents events, Listed listed, Focused focused)
        : bus_(std::move(bus)),
          events_(std::move(events)),
          listed_(std::move(listed)),
          focused_(std::move(focused)) {
        created_ = bus_->addSignalMatch(shellExtensionPath, interfaceName, "WindowCreated",
                                        [this](sd_bus_message* m) {
                                            std::uint32_t id = 0;
                                            std::int32_t pid = 0;
                                            if (sd_bus_message_read(m, "ui", &id, &pid) >= 0)
                                                post({Event::created, id, pid});
                                        });
        closed_ = bus_->addSignalMatch(shellExtensionPath, interfaceName, "WindowClosed",
                                       [this](sd_bus_message* m) {
                                           std::uint32_t id = 0;
                                           if (sd_bus_message_read(m, "u", &id) >= 0)
                                               post({Event::closed, id, 0});
                                       });
        focus_ = bus_->addSignalMatch(shellExtensionPath, interfaceName, "FocusChanged",
                                      [this](sd_bus_message* m) {
                                          std::uint32_t id = 0;
                                          if (sd_bus_message_read(m, "u", &id) >= 0)
                                              post({Event::focus, id, 0});
                                      });
        back_ = bus_->addSignalMatch(
            "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged",
            [this](sd_bus_message* m) {
                const char *name = nullptr, *before = nullptr, *after = nullptr;
                if (sd_bus_message_read(m, "sss", &name, &before, &after) >= 0 && name &&
                    std::strcmp(name, shellWindowsName) == 0 && after && *after)
                    post({Event::back, 0, 0});
            });
        for (const auto& record : listed_()) live_.emplace(record.id, record.pid);
        thread_ = std::thread([this] { run(); });
    }
    ~Observation() override {
        for (auto* slot : {created_, closed_, focus_, back_}) bus_->dropMatch(slot);
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

  private:
    struct Event {
        enum Kind { created, closed, focus, back } kind;
        WindowID id;
        ProcessID pid;
    };

    void post(Event event) {
        std::lock_guard lock(mutex_);
        queue_.push_back(event);
        wake_.notify_all();
    }

    void run() {
        std::unique_lock lock(mutex_);
        while (true) {
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            Event event = queue_.front();
            queue_.pop_front();
            lock.unlock();
            deliver(event);
            lock.lock();
        }
    }

    std::size_t windowsOf(ProcessID pid) const {
        return std::count_if(live_.begin(), live_.end(),
                             [pid](const auto& window) { return window.second == pid; });
    }

    void deliver(const Event& event) {
        switch (event.kind) {
            case Event::focus:
                if (events_.focusedWindowChanged)
                    events_.focusedWindowChanged(event.id ? std::optional<WindowID>(event.id)
                                                          : std::nullopt);
                return;
            case Event::created:
                // A window made while the observation started is already listed.
                if (!live_.emplace(event.id, event.pid).second) return;
                if (event.pid > 0 && windowsOf(event.pid) == 1 && events_.applicationLaunched)
                    events_.applicationLaunched(event.pid);
                if (events_.windowCreated) events_.windowCreated(event.id, event.pid);
                return;
            case Event::closed: {
                auto window = live_.find(event.id);
                if (window == live_.end()) return;
                const ProcessID pid = window->second;
                live_.erase(window);
                if (pid > 0 && windowsOf(pid) == 0 && events_.applicationTerminated)
                    events_.applicationTerminated(pid);
                return;
            }
            case Event::back:
                catchUp();
                return;
        }
    }

    // The extension is back after being off: what the shell lists now against what was live.
    void catchUp() {
        std::map<WindowID, ProcessID> now;
        for (const auto& record : listed_()) now.emplace(record.id, record.pid);
        std::vector<WindowID> closed;
        for (const auto& [id, pid] : live_)
            if (!now.contains(id)) closed.push_back(id);
        for (WindowID id : closed) deliver({Event::closed, id, 0});
        for (const auto& [id, pid] : now) deliver({Event::created, id, pid});
        if (events_.focusedWindowChanged) events_.focusedWindowChanged(focused_());
    }

    std::shared_ptr<MutterBus> bus_;
    WindowEvents events_;
    Listed listed_;
    Focused focused_;
    std::map<WindowID, ProcessID> live_;  // the shell's windows and their processes (thread only)
    sd_bus_slot* created_ = nullptr;
    sd_bus_slot* closed_ = nullptr;
    sd_bus_slot* focus_ = nullptr;
    sd_bus_slot* back_ = nullptr;  // the extension taking its bus name again
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Event> queue_;
    bool stopping_ = false;
    std::thread thread_;
};

GnomeShellWindowService::GnomeShellWindowService(std::shared_ptr<MutterBus> bus, Report report)
    : bus_(std::move(bus)), report_(std::move(report)) {}

std::shared_ptr<GnomeShellWindowService> GnomeShellWindowService::connect(
    std::shared_ptr<MutterBus> bus, Report report, std::string* error) {
    auto fail = [&](std::string why) -> std::shared_ptr<GnomeShellWindowService> {
        if (error) *error = std::move(why);
        return nullptr;
    };
    if (!bus) return fail("no session bus");
    auto answers = [&] {
        return bus->withBus([](sd_bus* c) { return nameHasOwner(c, shellWindowsName); });
    };
    if (!answers()) {
        if (!bus->withBus([](sd_bus* c) { return nameHasOwner(c, shellName); }))
            return fail("GNOME Shell does not run");
        // Installed system-wide but not yet on for this user: the shell turns it on at once.
        std::string problem;
        bus->withBus([&](sd_bus* c) {
            sd_bus_error callError = SD_BUS_ERROR_NULL;
            int r =
                sd_bus_call_method(c, shellName, shellPath, extensionsInterface, "EnableExtension",
                                   &callError, nullptr, "s", shellWindowsExtension);
            if (r < 0) problem = callFailure("EnableExtension", callError, r);
            sd_bus_error_free(&callError);
        });
        if (!problem.empty()) return fail(problem);
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        while (!answers() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(50ms);
        if (!answers())
            return fail(std::string("the shell extension ") + shellWindowsExtension +
                        " is not installed or did not start");
    }
    return std::shared_ptr<GnomeShellWindowService>(
        new GnomeShellWindowService(std::move(bus), std::move(report)));
}

bool GnomeShellWindowService::trusted() {
    return shellWindows(*bus_, report_, unreadable_).has_value();
}

std::vector<WindowRecord> GnomeShellWindowService::records(bool withMinimised) {
    std::vector<WindowRecord> records;
    for (auto& window :
         shellWindows(*bus_, report_, unreadable_).value_or(std::vector<ShellWindow>{}))
        if (window.record.kind != WindowKind::desktop && (withMinimised || !window.minimised))
            records.push_back(std::move(window.record));
    return records;
}

// A minimised window is off screen, but still the window manager's to find, move and raise.
std::vector<WindowRecord> GnomeShellWindowService::windowList() {
    return records(false);
}

std::optional<WindowRecord> GnomeShellWindowService::window(WindowID id) {
    for (auto& record : records(true))
        if (record.id == id) return record;
    return std::nullopt;
}

std::vector<WindowID> GnomeShellWindowService::windowsOfProcess(ProcessID pid) {
    auto windows = shellWindows(*bus_, report_, unreadable_).value_or(std::vector<ShellWindow>{});
    std::erase_if(windows, [pid](const ShellWindow& window) {
        return window.record.pid != pid || !applicationWindow(window.record);
    });
    std::stable_sort(windows.begin(), windows.end(),
                     [](const auto& a, const auto& b) { return a.sequence < b.sequence; });
    std::vector<WindowID> ids;
    for (const auto& window : windows) ids.push_back(window.record.id);
    return ids;
}

std::vector<ProcessID> GnomeShellWindowService::regularApplications() {
    auto windows = shellWindows(*bus_, report_, unreadable_).value_or(std::vector<ShellWindow>{});
    std::stable_sort(windows.begin(), windows.end(),
                     [](const auto& a, const auto& b) { return a.sequence < b.sequence; });
    std::vector<ProcessID> processes;
    for (const auto& window : windows)
        if (applicationWindow(window.record) && window.record.pid > 0 &&
            std::find(processes.begin(), processes.end(), window.record.pid) == processes.end())
            processes.push_back(window.record.pid);
    return processes;
}

std::optional<DisplayRect> GnomeShellWindowService::frame(WindowID id) {
    auto record = window(id);
    if (!record) return std::nullopt;
    return record->frame;
}

WindowError GnomeShellWindowService::setFrame(WindowID id, DisplayRect target) {
    return setFrames({{id, target}}).front();
}

std::vector<WindowError> GnomeShellWindowService::setFrames(
    const std::vector<FrameRequest>& requests) {
    std::vector<WindowError> results;
    std::vector<std::size_t> waiting;
    // Every request goes out first; the clients then answer their new sizes while we wait.
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const auto& [id, target] = requests[i];
        results.push_back(callOnWindow(*bus_, "MoveResize", [&](sd_bus_message* call) {
            return sd_bus_message_append(call, "uiiii", id, std::int32_t(std::lround(target.x)),
                                         std::int32_t(std::lround(target.y)),
                                         std::int32_t(std::lround(target.width)),
                                         std::int32_t(std::lround(target.height)));
        }));
        if (results.back() == WindowError::success) waiting.push_back(i);
    }
    awaitFrames(std::move(waiting), results, frameWait, 10ms, [&] {
        return [&, windows = records(true)](std::size_t i) {
            const auto now =
                std::find_if(windows.begin(), windows.end(),
                             [&](const WindowRecord& r) { return r.id == requests[i].id; });
            if (now == windows.end()) return FrameArrival::gone;
            return close(now->frame, requests[i].frame) ? FrameArrival::arrived
                                                        : FrameArrival::waiting;
        };
    });
    return results;
}

WindowError GnomeShellWindowService::raise(WindowID id) {
    return callOnWindow(*bus_, "Activate", [id](sd_bus_message* call) {
        return sd_bus_message_append(call, "u", id);
    });
}

std::optional<WindowID> GnomeShellWindowService::focusedWindow() {
    std::uint32_t id = 0;
    const bool answered = bus_->withBus([&](sd_bus* c) {
        sd_bus_message* reply = nullptr;
        int r = sd_bus_call_method(c, shellWindowsName, shellExtensionPath, interfaceName,
                                   "Focused", nullptr, &reply, "");
        if (r >= 0) r = sd_bus_message_read(reply, "u", &id);
        sd_bus_message_unref(reply);
        return r >= 0;
    });
    if (!answered || id == 0) return std::nullopt;
    return id;
}

std::optional<WindowID> GnomeShellWindowService::windowAtPoint(DisplayPoint point) {
    for (const auto& record : windowList())
        if (applicationWindow(record) && record.frame.contains(point)) return record.id;
    return std::nullopt;
}

std::unique_ptr<WindowObservation> GnomeShellWindowService::observe(WindowEvents events) {
    return std::make_unique<Observation>(
        bus_, std::move(events), [this] { return records(true); },
        [this] { return focusedWindow(); });
}

}  // namespace vl
