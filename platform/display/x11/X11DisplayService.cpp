#include "platform/display/x11/X11DisplayService.h"

#include <algorithm>

namespace vl {

class X11DisplayService::Configuration final : public DisplayConfiguration {
  public:
    explicit Configuration(X11DisplayService& owner) : owner_(owner) {}

    DisplayError configureMirrorOfDisplay(DisplayID display, DisplayID master) override {
        if (auto error = check(display); error != DisplayError::success) return error;
        pending_[display].mirrorOf = master;
        return DisplayError::success;
    }
    DisplayError configureDisplayOrigin(DisplayID display, std::int32_t x,
                                        std::int32_t y) override {
        if (auto error = check(display); error != DisplayError::success) return error;
        pending_[display].origin = std::make_pair(x, y);
        return DisplayError::success;
    }
    DisplayError configureDisplayWithMode(DisplayID display, const DisplayMode& mode) override {
        if (auto error = check(display); error != DisplayError::success) return error;
        pending_[display].mode = mode.id;
        return DisplayError::success;
    }
    // The X server keeps one arrangement for everyone, so every option applies it server-wide.
    DisplayError complete(ConfigureOption) override {
        if (finished_) return DisplayError::invalidOperation;
        auto error = owner_.apply(pending_);
        if (error == DisplayError::success) finished_ = true;
        return error;
    }
    void cancel() override { finished_ = true; }

  private:
    DisplayError check(DisplayID display) {
        if (finished_) return DisplayError::invalidOperation;
        return owner_.knows(display) ? DisplayError::success : DisplayError::illegalArgument;
    }

    X11DisplayService& owner_;
    std::map<DisplayID, Pending> pending_;
    bool finished_ = false;
};

X11DisplayService::X11DisplayService(std::string displayName, Report report)
    : screen_(std::move(displayName), std::move(report)) {}

bool X11DisplayService::knows(DisplayID id) {
    return isOnline(id);
}

DisplayResult<std::vector<DisplayID>> X11DisplayService::activeDisplayList(std::uint32_t max) {
    std::lock_guard lock(mutex_);
    DisplayResult<std::vector<DisplayID>> result;
    auto snap = screen_.snapshot();
    if (!snap) {
        result.error = DisplayError::invalidConnection;
        return result;
    }
    for (auto id : snap->enabledOutputs())
        if (result.value.size() < max) result.value.push_back(id);
    return result;
}

// An X output is usable exactly when it drives a CRTC, so online and active coincide.
DisplayResult<std::vector<DisplayID>> X11DisplayService::onlineDisplayList(std::uint32_t max) {
    return activeDisplayList(max);
}

DisplayResult<std::vector<DisplayID>> X11DisplayService::displaysWithPoint(DisplayPoint point,
                                                                           std::uint32_t max) {
    std::lock_guard lock(mutex_);
    DisplayResult<std::vector<DisplayID>> result;
    auto snap = screen_.snapshot();
    if (!snap) {
        result.error = DisplayError::invalidConnection;
        return result;
    }
    for (auto id : snap->enabledOutputs())
        if (result.value.size() < max && snap->bounds(id)->contains(point))
            result.value.push_back(id);
    return result;
}

DisplayRect X11DisplayService::bounds(DisplayID id) {
    std::lock_guard lock(mutex_);
    auto snap = screen_.snapshot();
    if (!snap) return {};
    return snap->bounds(id).value_or(DisplayRect{});
}

bool X11DisplayService::isOnline(DisplayID id) {
    std::lock_guard lock(mutex_);
    auto snap = screen_.snapshot();
    return snap && (snap->crtcOf(id) || snap->virtualMonitor(id));
}

std::uint32_t X11DisplayService::vendorNumber(DisplayID id) {
    std::lock_guard lock(mutex_);
    auto snap = screen_.snapshot();
    if (!snap) return 0;
    if (auto* monitor = snap->virtualMonitor(id)) return monitor->vendor;
    auto* output = snap->output(id);
    return output ? output->vendor : 0;
}

std::uint32_t X11DisplayService::modelNumber(DisplayID id) {
    std::lock_guard lock(mutex_);
    auto snap = screen_.snapshot();
    if (!snap) return 0;
    if (auto* monitor = snap->virtualMonitor(id)) return monitor->product;
    auto* output = snap->output(id);
    return output ? output->product : 0;
}

std::uint32_t X11DisplayService::serialNumber(DisplayID id) {
    std::lock_guard lock(mutex_);
    auto snap = screen_.snapshot();
    if (!snap) return 0;
    if (auto* monitor = snap->virtualMonitor(id)) return monitor->serial;
    auto* output = snap->output(id);
    return output ? output->serial : 0;
}

DisplayID X11DisplayService::mainDisplay() {
    std::lock_guard lock(mutex_);
    auto snap = screen_.snapshot();
    if (!snap) return nullDisplayID;
    if (snap->primary && snap->crtcOf(snap->primary)) return snap->primary;
    auto enabled = snap->enabledOutputs();
    return enabled.empty() ? nullDisplayID : enabled.front();
}

// The display a mirror set shows first: the primary output when it is in the set, otherwise the
// earliest output in server order.
DisplayID X11DisplayService::masterOf(const x11::ScreenSnapshot& snap, DisplayID id) {
    auto own = snap.bounds(id);
    if (!own) return nullDisplayID;
    std::vector<DisplayID> set;
    for (auto other : snap.enabledOutputs()) {
        auto rect = snap.bounds(other);
        if (rect->x == own->x && rect->y == own->y) set.push_back(other);
    }
    if (set.size() < 2) return nullDisplayID;
    if (std::find(set.begin(), set.end(), snap.primary) != set.end()) return snap.primary;
    return set.front();
}

DisplayID X11DisplayService::mirrorsDisplay(DisplayID id) {
    std::lock_guard lock(mutex_);
    auto snap = screen_.snapshot();
    if (!snap) return nullDisplayID;
    auto master = masterOf(*snap, id);
    return master == id ? nullDisplayID : master;
}

bool X11DisplayService::isInMirrorSet(DisplayID id) {
    std::lock_guard lock(mutex_);
    auto snap = screen_.snapshot();
    return snap && masterOf(*snap, id) != nullDisplayID;
}

std::vector<DisplayMode> X11DisplayService::modes(DisplayID id) {
    std::lock_guard lock(mutex_);
    std::vector<DisplayMode> result;
    auto snap = screen_.snapshot();
    if (!snap) return result;
    // A virtual monitor has the one size it was made with.
    if (auto* m = snap->virtualMonitor(id)) {
        result.push_back(DisplayMode{0, m->width, m->height, m->width, m->height, 0});
        return result;
    }
    auto* output = snap->output(id);
    if (!output) return result;
    for (auto modeId : output->modes) {
        auto it = snap->modes.find(modeId);
        if (it == snap->modes.end()) continue;
        const auto& m = it->second;
        // X has no scaled (HiDPI) modes: points equal pixels.
        result.push_back(DisplayMode{m.id, m.width, m.height, m.width, m.height, m.refreshRate});
    }
    return result;
}

DisplayResult<std::unique_ptr<DisplayConfiguration>> X11DisplayService::beginConfiguration() {
    DisplayResult<std::unique_ptr<DisplayConfiguration>> result;
    {
        std::lock_guard lock(mutex_);
        if (!screen_.ensureConnected()) {
            result.error = DisplayError::invalidConnection;
            return result;
        }
    }
    result.value = std::make_unique<Configuration>(*this);
    return result;
}

// The main display is the one at the origin; on X that is also the primary output, which
// desktops and applications use for their panels and new windows. A virtual monitor at the
// origin has no output to make primary, so the primary stays as it was.
void X11DisplayService::makeOriginOutputPrimary() {
    auto snap = screen_.snapshot();
    if (!snap) return;
    for (auto id : snap->enabledOutputs()) {
        auto bounds = snap->bounds(id);
        if (!bounds || bounds->x != 0 || bounds->y != 0 || !snap->output(id)) continue;
        if (id != snap->primary) screen_.setPrimary(id);
        return;
    }
}

DisplayError X11DisplayService::apply(const std::map<DisplayID, Pending>& pending) {
    std::lock_guard lock(mutex_);
    auto snap = screen_.snapshot();
    if (!snap) return DisplayError::invalidConnection;

    std::vector<x11::CrtcChange> changes;
    std::vector<x11::VirtualMonitor> moved;
    for (const auto& [id, change] : pending) {
        if (auto* monitor = snap->virtualMonitor(id)) {
            // Monitors show no output, so nothing can mirror them; their one mode is the size.
            if ((change.mirrorOf && *change.mirrorOf != nullDisplayID) ||
                (change.mode && *change.mode != 0))
                return DisplayError::illegalArgument;
            if (!change.origin) continue;
            auto [x, y] = *change.origin;
            if (x < 0 || y < 0 || x > 32767 || y > 32767) return DisplayError::rangeCheck;
            auto target = *monitor;
            target.x = std::int16_t(x);
            target.y = std::int16_t(y);
            moved.push_back(target);
            continue;
        }
        auto* crtc = snap->crtcOf(id);
        if (!crtc) return DisplayError::illegalArgument;
        x11::CrtcChange target{crtc->id,   crtc->x,        crtc->y,
                               crtc->mode, crtc->rotation, crtc->outputs};
        if (change.mirrorOf) {
            if (*change.mirrorOf != nullDisplayID) {
                auto master = snap->bounds(*change.mirrorOf);
                if (!master) return DisplayError::illegalArgument;
                target.x = std::int32_t(master->x);
                target.y = std::int32_t(master->y);
            } else if (!change.origin && masterOf(*snap, id) != nullDisplayID) {
                // Leaving a mirror set without a new origin: stand beside everything else.
                double right = 0;
                for (auto other : snap->enabledOutputs())
                    if (other != id) right = std::max(right, snap->bounds(other)->maxX());
                target.x = std::int32_t(right);
                target.y = 0;
            }
        }
        if (change.origin) {
            target.x = change.origin->first;
            target.y = change.origin->second;
        }
        if (change.mode) {
            auto* output = snap->output(id);
            if (std::find(output->modes.begin(), output->modes.end(), *change.mode) ==
                output->modes.end())
                return DisplayError::illegalArgument;
            target.mode = *change.mode;
        }
        changes.push_back(std::move(target));
    }
    if (!changes.empty()) {
        if (auto error = screen_.apply(*snap, std::move(changes)); error != DisplayError::success)
            return error;
        makeOriginOutputPrimary();
    }
    if (moved.empty()) return DisplayError::success;
    for (const auto& m : moved)
        if (auto error = screen_.fitFramebuffer(m.x + m.width, m.y + m.height);
            error != DisplayError::success)
            return error;
    for (const auto& m : moved)
        if (auto error = screen_.setMonitor(m.name, m.x, m.y, m.width, m.height);
            error != DisplayError::success)
            return error;
    return screen_.fitFramebuffer(0, 0);  // gives back what the old places needed
}

}  // namespace vl
