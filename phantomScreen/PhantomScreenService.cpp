#include "phantomScreen/PhantomScreenService.h"

#include <algorithm>
#include <mutex>

namespace vl {

namespace {

struct State {
    std::mutex mutex;
    std::vector<std::optional<DisplayID>> extraDisplayIDs;
};

State& state() {
    static State s;
    return s;
}

}  // namespace

void PhantomScreenService::startService(Resolution resolution) {
    if (auto id = PhantomScreenInf::addDisplayEx(resolution, false)) appendExtraDisplayID(*id);
}

void PhantomScreenService::stopService() {
    std::vector<std::optional<DisplayID>> ids;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        ids = std::exchange(s.extraDisplayIDs, {});
    }
    for (const auto& id : ids)
        if (id) PhantomScreenInf::removeDisplay(*id);
}

void PhantomScreenService::stopPS(DisplayID display) {
    PhantomScreenInf::removeDisplay(display);
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = std::find(s.extraDisplayIDs.begin(), s.extraDisplayIDs.end(),
                        std::optional<DisplayID>(display));
    if (it != s.extraDisplayIDs.end()) s.extraDisplayIDs.erase(it);
}

void PhantomScreenService::initService() {
    if (!PhantomScreenInf::isLoaded()) PhantomScreenInf::initLib();
}

void PhantomScreenService::destroyService() {
    PhantomScreenInf::release();
}

std::vector<std::optional<DisplayID>> PhantomScreenService::extraDisplayIDs() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.extraDisplayIDs;
}

void PhantomScreenService::appendExtraDisplayID(std::optional<DisplayID> display) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.extraDisplayIDs.push_back(display);
}

}  // namespace vl
