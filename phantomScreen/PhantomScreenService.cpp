#include "phantomScreen/PhantomScreenService.h"

#include "base/DispatchQueue.h"

#include <algorithm>
#include <cassert>

namespace vl {

namespace {

constexpr auto pollInterval = std::chrono::milliseconds(200);

}  // namespace

struct PhantomScreenService::Poll {
    Clock::time_point deadline;
    std::function<void(std::optional<DisplayID>)> completion;
};

PhantomScreenService::PhantomScreenService(std::shared_ptr<PhantomScreenInf> inf,
                                           DispatchQueue& pollQueue, TimerClock& clock)
    : inf_(std::move(inf)), pollQueue_(pollQueue), clock_(clock) {
    assert(inf_);
}

void PhantomScreenService::startService(Resolution resolution) {
    if (auto id = inf_->addDisplayEx(resolution, false)) appendExtraDisplayID(*id);
}

void PhantomScreenService::stopService() {
    std::vector<std::optional<DisplayID>> ids;
    {
        std::lock_guard lock(mutex_);
        ids = std::exchange(extraDisplayIDs_, {});
    }
    for (const auto& id : ids)
        if (id) inf_->removeDisplay(*id);
}

void PhantomScreenService::stopPS(DisplayID display) {
    inf_->removeDisplay(display);
    std::lock_guard lock(mutex_);
    auto it = std::find(extraDisplayIDs_.begin(), extraDisplayIDs_.end(),
                        std::optional<DisplayID>(display));
    if (it != extraDisplayIDs_.end()) extraDisplayIDs_.erase(it);
}

void PhantomScreenService::initService() {
    if (!inf_->isLoaded()) inf_->initLib();
}

void PhantomScreenService::destroyService() {
    inf_->release();
}

std::vector<std::optional<DisplayID>> PhantomScreenService::extraDisplayIDs() const {
    std::lock_guard lock(mutex_);
    return extraDisplayIDs_;
}

void PhantomScreenService::appendExtraDisplayID(std::optional<DisplayID> display) {
    std::lock_guard lock(mutex_);
    extraDisplayIDs_.push_back(display);
}

std::optional<DisplayID> PhantomScreenService::findPS() {
    return inf_->findPS();
}

std::optional<DisplayID> PhantomScreenService::addDisplayEx(Resolution resolution, bool portrait) {
    return inf_->addDisplayEx(resolution, portrait);
}

void PhantomScreenService::waitForPhantomScreen(
    double timeout, std::function<void(std::optional<DisplayID>)> completion) {
    // Bounded so that no caller's value overflows the clock.
    double seconds = timeout > 0 ? std::min(timeout, 86400.0) : 0.0;
    auto poll = std::make_shared<Poll>();
    poll->deadline = clock_.now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
    poll->completion = completion ? std::move(completion) : [](std::optional<DisplayID>) {};
    schedulePoll(std::move(poll));
}

void PhantomScreenService::schedulePoll(std::shared_ptr<Poll> poll) {
    std::weak_ptr<PhantomScreenService> weak = weak_from_this();
    assert(!weak.expired() && "PhantomScreenService is made with std::make_shared");
    clock_.scheduleAfter(pollQueue_, pollInterval, [weak, poll] {
        auto self = weak.lock();
        // A service that is gone finds nothing; the caller still hears once.
        if (!self) return poll->completion(std::nullopt);
        if (auto id = self->findPS(); id && *id != nullDisplayID) return poll->completion(id);
        if (self->clock_.now() >= poll->deadline) return poll->completion(std::nullopt);
        self->schedulePoll(poll);
    });
}

}  // namespace vl
