// platform/power/fake: counts assertions so sleep prevention can be checked.
#pragma once

#include "platform/power/Interface.h"

#include <mutex>
#include <set>

namespace vl {

class FakePower final : public PowerService {
  public:
    std::optional<PowerAssertionID> preventUserIdleDisplaySleep(const std::string& name) override {
        std::lock_guard lock(mutex_);
        ++displayAssertionsCreated;
        lastName = name;
        return track(displayAssertions_);
    }
    std::optional<PowerAssertionID> declareUserActivity(const std::string& name) override {
        std::lock_guard lock(mutex_);
        ++userActivityDeclarations;
        lastName = name;
        return track(activityAssertions_);
    }
    void releaseAssertion(PowerAssertionID id) override {
        std::lock_guard lock(mutex_);
        ++releases;
        displayAssertions_.erase(id);
        activityAssertions_.erase(id);
    }

    std::size_t activeDisplayAssertions() const {
        std::lock_guard lock(mutex_);
        return displayAssertions_.size();
    }
    std::size_t activeActivityAssertions() const {
        std::lock_guard lock(mutex_);
        return activityAssertions_.size();
    }

    int displayAssertionsCreated = 0;
    int userActivityDeclarations = 0;
    int releases = 0;
    std::string lastName;

  private:
    PowerAssertionID track(std::set<PowerAssertionID>& set) {
        set.insert(next_);
        return next_++;
    }
    mutable std::mutex mutex_;
    std::set<PowerAssertionID> displayAssertions_, activityAssertions_;
    PowerAssertionID next_ = 1;
};

}  // namespace vl
