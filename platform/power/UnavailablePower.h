// platform/power: the stand-in for hosts where idle sleep cannot be prevented; says so once.
#pragma once

#include "platform/power/Interface.h"

#include <atomic>
#include <functional>

namespace vl {

class UnavailablePower final : public PowerService {
  public:
    explicit UnavailablePower(std::function<void(const std::string&)> report)
        : report_(std::move(report)) {}

    std::optional<PowerAssertionID> preventUserIdleDisplaySleep(const std::string&) override {
        if (!reported_.exchange(true) && report_)
            report_(
                "idle-sleep prevention is unavailable on this host; the display may sleep "
                "during a session");
        return std::nullopt;
    }
    std::optional<PowerAssertionID> declareUserActivity(const std::string&) override {
        return std::nullopt;
    }
    void releaseAssertion(PowerAssertionID) override {}

  private:
    std::function<void(const std::string&)> report_;
    std::atomic<bool> reported_{false};
};

}  // namespace vl
