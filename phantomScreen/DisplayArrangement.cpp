#include "phantomScreen/DisplayArrangement.h"

#include "base/DispatchQueue.h"
#include "base/Log.h"

#include <algorithm>

namespace vl {

namespace {

constexpr auto retryInterval = std::chrono::milliseconds(250);

void finish(const std::function<void(bool)>& completion, bool success) {
    if (completion) completion(success);
}

}  // namespace

std::shared_ptr<DisplayArrangement> DisplayArrangement::make(DisplayService& displays,
                                                             DispatchQueue& queue,
                                                             TimerClock& clock) {
    return std::shared_ptr<DisplayArrangement>(new DisplayArrangement(displays, queue, clock));
}

void DisplayArrangement::setDisplayExtended(DisplayID display, int retriesRemaining,
                                            std::function<void(bool)> completion) {
    const std::string id = std::to_string(display);
    if (!displays_.isOnline(display)) {
        logMsg("⚠️ setDisplayExtended: display " + id + " is not online");
        return finish(completion, false);
    }
    auto begun = displays_.beginConfiguration();
    if (!begun.ok() || !begun.value) return finish(completion, false);
    auto& configuration = *begun.value;

    if (auto error = configuration.configureMirrorOfDisplay(display, nullDisplayID);
        error != DisplayError::success) {
        configuration.cancel();
        logMsg(
            std::string("⚠️ setDisplayExtended: CGConfigureDisplayMirrorOfDisplay failed: ") +
            description(error));
        return finish(completion, false);
    }
    auto previous = displays_.bounds(display);
    DisplayPoint movedFrom{previous.x, previous.y};
    auto main = displays_.bounds(displays_.mainDisplay());
    if (auto error = configuration.configureDisplayOrigin(display, std::int32_t(main.maxX()),
                                                          std::int32_t(main.minY()));
        error != DisplayError::success) {
        configuration.cancel();
        logMsg(std::string("⚠️ setDisplayExtended: CGConfigureDisplayOrigin failed: ") +
               description(error));
        return finish(completion, false);
    }
    if (auto error = configuration.complete(ConfigureOption::permanently);
        error != DisplayError::success) {
        configuration.cancel();
        logMsg(std::string("⚠️ setDisplayExtended: CGCompleteDisplayConfiguration failed: ") +
               description(error));
        return finish(completion, false);
    }

    auto now = displays_.bounds(display);
    DisplayPoint movedTo{now.x, now.y};
    if (!displays_.isInMirrorSet(display) && displays_.mirrorsDisplay(display) == nullDisplayID) {
        logMsg("✅ setDisplayExtended: virtual display set to extended mode at " +
               describe(movedTo));
        return finish(completion, true);
    }
    if (retriesRemaining > 1) {
        logMsg("⚠️ setDisplayExtended: display " + id + " still mirrored, retrying");
        std::weak_ptr<DisplayArrangement> weak = weak_from_this();
        clock_.scheduleAfter(queue_, retryInterval,
                             [weak, display, retriesRemaining, completion = std::move(completion)] {
                                 if (auto self = weak.lock())
                                     self->setDisplayExtended(display, retriesRemaining - 1,
                                                              completion);
                             });
        return;
    }
    logMsg("⚠️ setDisplayExtended: display " + id + " still mirrored after moving from " +
           describe(movedFrom) + " to " + describe(movedTo));
    finish(completion, false);
}

}  // namespace vl
