#include "platform/windows/fake/FakeWindowServer.h"

#include <algorithm>

namespace vl {

class FakeWindowServer::Observation final : public WindowObservation {
  public:
    Observation(FakeWindowServer& owner, std::uint64_t key) : owner_(owner), key_(key) {}
    ~Observation() override {
        std::lock_guard lock(owner_.mutex_);
        std::erase_if(owner_.observers_, [this](const auto& entry) { return entry.first == key_; });
    }

  private:
    FakeWindowServer& owner_;
    std::uint64_t key_;
};

WindowID FakeWindowServer::addWindow(WindowRecord record, bool notify) {
    bool newApplication = false;
    {
        std::lock_guard lock(mutex_);
        if (record.id == 0) record.id = nextID_++;
        newApplication = std::none_of(windows_.begin(), windows_.end(),
                                      [&](const auto& w) { return w.pid == record.pid; });
        windows_.insert(windows_.begin(), record);
        creationOrder_.push_back(record.id);
    }
    if (notify) {
        for (auto& events : observersCopy()) {
            if (newApplication && events.applicationLaunched)
                events.applicationLaunched(record.pid);
            if (events.windowCreated) events.windowCreated(record.id, record.pid);
        }
    }
    return record.id;
}

void FakeWindowServer::removeWindow(WindowID id) {
    std::lock_guard lock(mutex_);
    std::erase_if(windows_, [id](const auto& w) { return w.id == id; });
    std::erase(creationOrder_, id);
    if (focused_ == id) focused_.reset();
}

void FakeWindowServer::focus(std::optional<WindowID> id) {
    {
        std::lock_guard lock(mutex_);
        focused_ = id;
        if (id) {
            auto it = std::find_if(windows_.begin(), windows_.end(),
                                   [&](const auto& w) { return w.id == *id; });
            if (it != windows_.end()) std::rotate(windows_.begin(), it, it + 1);
        }
    }
    for (auto& events : observersCopy())
        if (events.focusedWindowChanged) events.focusedWindowChanged(id);
}

void FakeWindowServer::setTrusted(bool trusted) {
    std::lock_guard lock(mutex_);
    trusted_ = trusted;
}

void FakeWindowServer::refuseMoves(WindowID id) {
    std::lock_guard lock(mutex_);
    refused_.insert(id);
}

std::vector<std::pair<WindowID, DisplayRect>> FakeWindowServer::framesSet() const {
    std::lock_guard lock(mutex_);
    return framesSet_;
}

std::size_t FakeWindowServer::observerCount() const {
    std::lock_guard lock(mutex_);
    return observers_.size();
}

bool FakeWindowServer::trusted() {
    std::lock_guard lock(mutex_);
    return trusted_;
}

std::vector<WindowRecord> FakeWindowServer::windowList() {
    std::lock_guard lock(mutex_);
    return windows_;
}

std::optional<WindowRecord> FakeWindowServer::window(WindowID id) {
    std::lock_guard lock(mutex_);
    if (auto* w = find(id)) return *w;
    return std::nullopt;
}

std::vector<WindowID> FakeWindowServer::windowsOfProcess(ProcessID pid) {
    std::lock_guard lock(mutex_);
    std::vector<WindowID> result;
    for (auto id : creationOrder_) {
        auto* w = find(id);
        if (w && w->pid == pid && w->layer() == 0) result.push_back(id);
    }
    return result;
}

std::vector<ProcessID> FakeWindowServer::regularApplications() {
    std::lock_guard lock(mutex_);
    std::vector<ProcessID> result;
    for (auto id : creationOrder_) {
        auto* w = find(id);
        if (w && w->layer() == 0 && std::find(result.begin(), result.end(), w->pid) == result.end())
            result.push_back(w->pid);
    }
    return result;
}

std::optional<DisplayRect> FakeWindowServer::frame(WindowID id) {
    std::lock_guard lock(mutex_);
    if (auto* w = find(id)) return w->frame;
    return std::nullopt;
}

WindowError FakeWindowServer::setFrame(WindowID id, DisplayRect frame) {
    std::lock_guard lock(mutex_);
    if (!trusted_) return WindowError::noWindowManager;
    auto* w = find(id);
    if (!w) return WindowError::notFound;
    if (refused_.contains(id)) return WindowError::rejected;
    w->frame = frame;
    framesSet_.emplace_back(id, frame);
    return WindowError::success;
}

WindowError FakeWindowServer::raise(WindowID id) {
    if (!window(id)) return WindowError::notFound;
    focus(id);
    return WindowError::success;
}

std::optional<WindowID> FakeWindowServer::focusedWindow() {
    std::lock_guard lock(mutex_);
    return focused_;
}

std::optional<WindowID> FakeWindowServer::windowAtPoint(DisplayPoint point) {
    std::lock_guard lock(mutex_);
    for (const auto& w : windows_)
        if (w.layer() == 0 && w.frame.contains(point)) return w.id;
    return std::nullopt;
}

std::unique_ptr<WindowObservation> FakeWindowServer::observe(WindowEvents events) {
    std::lock_guard lock(mutex_);
    auto key = nextObserver_++;
    observers_.emplace_back(key, std::move(events));
    return std::make_unique<Observation>(*this, key);
}

std::vector<WindowEvents> FakeWindowServer::observersCopy() const {
    std::lock_guard lock(mutex_);
    std::vector<WindowEvents> result;
    for (const auto& entry : observers_) result.push_back(entry.second);
    return result;
}

WindowRecord* FakeWindowServer::find(WindowID id) {
    auto it =
        std::find_if(windows_.begin(), windows_.end(), [id](const auto& w) { return w.id == id; });
    return it == windows_.end() ? nullptr : &*it;
}

}  // namespace vl
