// platform/power: display-sleep prevention and user-activity declarations.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vl {

using PowerAssertionID = std::uint32_t;

class PowerService {
  public:
    virtual ~PowerService() = default;

    // Keeps the display from idle sleep until released. Nothing when the host cannot.
    virtual std::optional<PowerAssertionID> preventUserIdleDisplaySleep(
        const std::string& name) = 0;
    // Tells the host the local user is active now (resets its idle timer).
    virtual std::optional<PowerAssertionID> declareUserActivity(const std::string& name) = 0;
    virtual void releaseAssertion(PowerAssertionID id) = 0;
};

}  // namespace vl
