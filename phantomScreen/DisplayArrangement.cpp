#include "phantomScreen/DisplayArrangement.h"

#include "app/SystemInfo.h"
#include "base/DispatchQueue.h"
#include "phantomScreen/PhantomScreenInf.h"

#include <algorithm>

namespace vl {

namespace {

constexpr auto retryInterval = std::chrono::milliseconds(250);
constexpr auto pollInterval = std::chrono::milliseconds(200);

void finish(const std::function<void(bool)>& completion, bool success) {
    if (completion) completion(success);
}

struct Poll {
    Clock::time_point deadline;
    std::function<void(std::optional<DisplayID>)> completion;
};

void schedulePoll(std::shared_ptr<Poll> poll) {
    DispatchQueue::global().asyncAfter(pollInterval, [poll] {
        if (auto id = PhantomScreenInf::findPS(); id && *id != nullDisplayID) {
            poll->completion(id);
            return;
        }
        if (Clock::now() >= poll->deadline) {
            poll->completion(std::nullopt);
            return;
        }
        schedulePoll(poll);
    });
}

}  // namespace

std::shared_ptr<DisplayArrangement> DisplayArrangement::make(DisplayService& displays) {
    return std::shared_ptr<DisplayArrangement>(new DisplayArrangement(displays));
}

void DisplayArrangement::setDisplayExtended(DisplayID display, int retriesRemaining,
                                            std::function<void(bool)> completion) {
    const std::string id = std::to_string(display);
    if (!displays_.isOnline(display)) {
        SystemInfo::logMsg("⚠️ setDisplayExtended: display " + id + " is not online");
        return finish(completion, false);
    }
    auto begun = displays_.beginConfiguration();
    if (!begun.ok() || !begun.value) return finish(completion, false);
    auto& configuration = *begun.value;

    if (auto error = configuration.configureMirrorOfDisplay(display, nullDisplayID);
        error != DisplayError::success) {
        configuration.cancel();
        SystemInfo::logMsg(
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
        SystemInfo::logMsg(
            std::string("⚠️ setDisplayExtended: CGConfigureDisplayOrigin failed: ") +
            description(error));
        return finish(completion, false);
    }
    if (auto error = configuration.complete(ConfigureOption::permanently);
        error != DisplayError::success) {
        configuration.cancel();
        SystemInfo::logMsg(
            std::string("⚠️ setDisplayExtended: CGCompleteDisplayConfiguration failed: ") +
            description(error));
        return finish(completion, false);
    }

    auto now = displays_.bounds(display);
    DisplayPoint movedTo{now.x, now.y};
    if (!displays_.isInMirrorSet(display) && displays_.mirrorsDisplay(display) == nullDisplayID) {
        SystemInfo::logMsg("✅ setDisplayExtended: virtual display set to extended mode at " +
                           describe(movedTo));
        return finish(completion, true);
    }
    if (retriesRemaining > 1) {
        SystemInfo::logMsg("⚠️ setDisplayExtended: display " + id +
                           " still mirrored, retrying");
        std::weak_ptr<DisplayArrangement> weak = weak_from_this();
        DispatchQueue::main().asyncAfter(
            retryInterval, [weak, display, retriesRemaining, completion = std::move(completion)] {
                if (auto self = weak.lock())
                    self->setDisplayExtended(display, retriesRemaining - 1, completion);
            });
        return;
    }
    SystemInfo::logMsg("⚠️ setDisplayExtended: display " + id +
                       " still mirrored after moving from " + describe(movedFrom) + " to " +
                       describe(movedTo));
    finish(completion, false);
}

void DisplayArrangement::waitForPhantomScreen(
    double timeout, std::function<void(std::optional<DisplayID>)> completion) {
    // Bounded so that no caller's value overflows the clock.
    double seconds = timeout > 0 ? std::min(timeout, 86400.0) : 0.0;
    auto poll = std::make_shared<Poll>();
    poll->deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
    poll->completion = completion ? std::move(completion) : [](std::optional<DisplayID>) {};
    schedulePoll(std::move(poll));
}

}  // namespace vl
