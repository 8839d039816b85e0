#include "platform/events/fake/FakeEventsService.h"

namespace vl {

bool FakeEventsService::post(const PointerEvent& event) {
    std::lock_guard lock(mutex_);
    if (failPosting_) return false;
    posted_.emplace_back(event);
    location_ = event.point;
    return true;
}

bool FakeEventsService::post(const KeyEvent& event) {
    std::lock_guard lock(mutex_);
    if (failPosting_) return false;
    posted_.emplace_back(event);
    return true;
}

bool FakeEventsService::post(const ScrollEvent& event) {
    std::lock_guard lock(mutex_);
    if (failPosting_) return false;
    posted_.emplace_back(event);
    return true;
}

std::optional<std::string> FakeEventsService::warp(DisplayPoint point) {
    std::lock_guard lock(mutex_);
    if (failWarping_) return "warp refused";
    posted_.emplace_back(Warp{point});
    location_ = point;
    return std::nullopt;
}

std::optional<DisplayPoint> FakeEventsService::location() {
    std::lock_guard lock(mutex_);
    return location_;
}

std::vector<FakeEventsService::Posted> FakeEventsService::posted() const {
    std::lock_guard lock(mutex_);
    return posted_;
}

std::vector<PointerEvent> FakeEventsService::pointerEvents() const {
    std::lock_guard lock(mutex_);
    std::vector<PointerEvent> events;
    for (const auto& entry : posted_)
        if (auto* event = std::get_if<PointerEvent>(&entry)) events.push_back(*event);
    return events;
}

std::vector<KeyEvent> FakeEventsService::keyEvents() const {
    std::lock_guard lock(mutex_);
    std::vector<KeyEvent> events;
    for (const auto& entry : posted_)
        if (auto* event = std::get_if<KeyEvent>(&entry)) events.push_back(*event);
    return events;
}

void FakeEventsService::clear() {
    std::lock_guard lock(mutex_);
    posted_.clear();
}

void FakeEventsService::setLocation(std::optional<DisplayPoint> point) {
    std::lock_guard lock(mutex_);
    location_ = point;
}

void FakeEventsService::failPosting(bool fail) {
    std::lock_guard lock(mutex_);
    failPosting_ = fail;
}

void FakeEventsService::failWarping(bool fail) {
    std::lock_guard lock(mutex_);
    failWarping_ = fail;
}

}  // namespace vl
