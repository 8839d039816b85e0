#include "platform/display/fake/FakeDisplayService.h"

#include <algorithm>

namespace vl {

class FakeDisplayService::Configuration final : public DisplayConfiguration {
  public:
    explicit Configuration(FakeDisplayService& owner) : owner_(owner) {}

    DisplayError configureMirrorOfDisplay(DisplayID display, DisplayID master) override {
        Change change;
        change.kind = Change::Kind::mirror;
        change.display = display;
        change.master = master;
        return record(change, owner_.faultsCopy().mirror);
    }
    DisplayError configureDisplayOrigin(DisplayID display, std::int32_t x,
                                        std::int32_t y) override {
        Change change;
        change.kind = Change::Kind::origin;
        change.display = display;
        change.x = x;
        change.y = y;
        return record(change, owner_.faultsCopy().origin);
    }
    DisplayError configureDisplayWithMode(DisplayID display, const DisplayMode& mode) override {
        Change change;
        change.kind = Change::Kind::mode;
        change.display = display;
        change.mode = mode;
        return record(change, owner_.faultsCopy().mode);
    }
    DisplayError complete(ConfigureOption option) override {
        if (finished_) return DisplayError::invalidOperation;
        auto error = owner_.apply(changes_, option);
        if (error == DisplayError::success) finished_ = true;
        return error;
    }
    void cancel() override {
        if (finished_) return;
        finished_ = true;
        std::lock_guard lock(owner_.mutex_);
        ++owner_.counters_.cancelled;
    }

  private:
    DisplayError record(Change change, DisplayError fault) {
        if (finished_) return DisplayError::invalidOperation;
        if (fault != DisplayError::success) return fault;
        if (!owner_.display(change.display)) return DisplayError::illegalArgument;
        changes_.push_back(change);
        return DisplayError::success;
    }

    FakeDisplayService& owner_;
    std::vector<Change> changes_;
    bool finished_ = false;
};

FakeDisplayService::Faults FakeDisplayService::faultsCopy() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

FakeDisplayService::Display FakeDisplayService::make(DisplayID id, DisplayRect bounds,
                                                     DisplayID mirrorOf) {
    Display display;
    display.id = id;
    display.bounds = bounds;
    display.mirrorOf = mirrorOf;
    return display;
}

void FakeDisplayService::addDisplay(Display display) {
    std::lock_guard lock(mutex_);
    if (main_ == nullDisplayID) main_ = display.id;
    displays_.push_back(std::move(display));
}

void FakeDisplayService::removeDisplay(DisplayID id) {
    std::lock_guard lock(mutex_);
    std::erase_if(displays_, [id](const Display& d) { return d.id == id; });
    for (auto& d : displays_)
        if (d.mirrorOf == id) d.mirrorOf = nullDisplayID;
    if (main_ == id) main_ = displays_.empty() ? nullDisplayID : displays_.front().id;
}

void FakeDisplayService::setMainDisplay(DisplayID id) {
    std::lock_guard lock(mutex_);
    main_ = id;
}

std::optional<FakeDisplayService::Display> FakeDisplayService::display(DisplayID id) const {
    std::lock_guard lock(mutex_);
    if (auto* d = find(id)) return *d;
    return std::nullopt;
}

void FakeDisplayService::update(DisplayID id, const std::function<void(Display&)>& change) {
    std::lock_guard lock(mutex_);
    if (auto* d = find(id)) change(*d);
}

FakeDisplayService::Counters FakeDisplayService::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

void FakeDisplayService::setFaults(Faults faults) {
    std::lock_guard lock(mutex_);
    faults_ = faults;
}

FakeDisplayService::Display* FakeDisplayService::find(DisplayID id) {
    for (auto& d : displays_)
        if (d.id == id) return &d;
    return nullptr;
}

const FakeDisplayService::Display* FakeDisplayService::find(DisplayID id) const {
    for (auto& d : displays_)
        if (d.id == id) return &d;
    return nullptr;
}

DisplayResult<std::vector<DisplayID>> FakeDisplayService::list(std::uint32_t max, bool activeOnly) {
    std::lock_guard lock(mutex_);
    DisplayResult<std::vector<DisplayID>> result;
    if (faults_.list != DisplayError::success) {
        result.error = faults_.list;
        return result;
    }
    for (const auto& d : displays_) {
        if (result.value.size() >= max) break;
        if (d.online && (!activeOnly || d.active)) result.value.push_back(d.id);
    }
    return result;
}

DisplayResult<std::vector<DisplayID>> FakeDisplayService::activeDisplayList(std::uint32_t max) {
    return list(max, true);
}

DisplayResult<std::vector<DisplayID>> FakeDisplayService::onlineDisplayList(std::uint32_t max) {
    return list(max, false);
}

DisplayResult<std::vector<DisplayID>> FakeDisplayService::displaysWithPoint(DisplayPoint point,
                                                                            std::uint32_t max) {
    std::lock_guard lock(mutex_);
    DisplayResult<std::vector<DisplayID>> result;
    if (faults_.list != DisplayError::success) {
        result.error = faults_.list;
        return result;
    }
    for (const auto& d : displays_) {
        if (result.value.size() >= max) break;
        if (d.online && d.active && d.bounds.contains(point)) result.value.push_back(d.id);
    }
    return result;
}

DisplayRect FakeDisplayService::bounds(DisplayID id) {
    std::lock_guard lock(mutex_);
    auto* d = find(id);
    return d ? d->bounds : DisplayRect{};
}

bool FakeDisplayService::isOnline(DisplayID id) {
    std::lock_guard lock(mutex_);
    auto* d = find(id);
    return d && d->online;
}

std::uint32_t FakeDisplayService::vendorNumber(DisplayID id) {
    std::lock_guard lock(mutex_);
    auto* d = find(id);
    return d ? d->vendor : 0;
}

std::uint32_t FakeDisplayService::modelNumber(DisplayID id) {
    std::lock_guard lock(mutex_);
    auto* d = find(id);
    return d ? d->model : 0;
}

std::uint32_t FakeDisplayService::serialNumber(DisplayID id) {
    std::lock_guard lock(mutex_);
    auto* d = find(id);
    return d ? d->serial : 0;
}

DisplayID FakeDisplayService::mainDisplay() {
    std::lock_guard lock(mutex_);
    return main_;
}

DisplayID FakeDisplayService::mirrorsDisplay(DisplayID id) {
    std::lock_guard lock(mutex_);
    auto* d = find(id);
    return d ? d->mirrorOf : nullDisplayID;
}

bool FakeDisplayService::isInMirrorSet(DisplayID id) {
    std::lock_guard lock(mutex_);
    auto* d = find(id);
    if (!d) return false;
    if (d->mirrorOf != nullDisplayID) return true;
    return std::any_of(displays_.begin(), displays_.end(),
                       [id](const Display& other) { return other.mirrorOf == id; });
}

std::vector<DisplayMode> FakeDisplayService::modes(DisplayID id) {
    std::lock_guard lock(mutex_);
    auto* d = find(id);
    return d ? d->modes : std::vector<DisplayMode>{};
}

DisplayResult<std::unique_ptr<DisplayConfiguration>> FakeDisplayService::beginConfiguration() {
    std::lock_guard lock(mutex_);
    DisplayResult<std::unique_ptr<DisplayConfiguration>> result;
    if (faults_.begin != DisplayError::success) {
        result.error = faults_.begin;
        return result;
    }
    ++counters_.begun;
    result.value = std::make_unique<Configuration>(*this);
    return result;
}

DisplayError FakeDisplayService::apply(const std::vector<Change>& changes, ConfigureOption option) {
    std::lock_guard lock(mutex_);
    if (faults_.complete != DisplayError::success) return faults_.complete;
    for (const auto& change : changes) {
        auto* d = find(change.display);
        if (!d) continue;
        switch (change.kind) {
            case Change::Kind::mirror:
                if (change.master == nullDisplayID) {
                    if (!faults_.mirroringSticks) d->mirrorOf = nullDisplayID;
                } else if (auto* master = find(change.master)) {
                    d->mirrorOf = master->id;
                    d->bounds.x = master->bounds.x;
                    d->bounds.y = master->bounds.y;
                }
                break;
            case Change::Kind::origin:
                d->bounds.x = change.x;
                d->bounds.y = change.y;
                break;
            case Change::Kind::mode:
                d->bounds.width = change.mode.width;
                d->bounds.height = change.mode.height;
                break;
        }
    }
    ++counters_.completed;
    counters_.completeOptions.push_back(option);
    return DisplayError::success;
}

}  // namespace vl
