// comm: slows password guessing. Connection attempts from an address that has failed are judged
// one after another, each later than the last by a delay that doubles with every failure and
// pending attempt, up to a cap; a correct password clears the address. An address that never
// failed is judged at once, so the real client is not delayed.
#pragma once

#include "base/DispatchQueue.h"

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>

namespace vl {

class PasswordGuessThrottle {
  public:
    struct Policy {
        Clock::duration firstDelay = std::chrono::milliseconds(250);
        Clock::duration maxDelay = std::chrono::seconds(8);
        // Addresses remembered at most; an address quiet this long is forgotten first.
        std::size_t maxAddresses = 4096;
        Clock::duration forgetAfter = std::chrono::hours(1);
        // Attempts one address may have waiting; more are not judged at all.
        int maxPending = 16;
    };

    PasswordGuessThrottle() = default;
    explicit PasswordGuessThrottle(Policy policy) : policy_(policy) {}

    // When an attempt arriving now from this host may be judged, or none when the host already
    // has too many waiting. Every attempt admitted is followed by recordFailure or recordSuccess.
    std::optional<Clock::time_point> admit(const std::string& host, Clock::time_point now);
    void recordFailure(const std::string& host);
    void recordSuccess(const std::string& host);

    // The delay after `strikes` failed or pending attempts.
    Clock::duration delayAfter(int strikes) const;
    std::size_t rememberedAddresses() const { return hosts_.size(); }

  private:
    struct Record {
        int failures = 0;
        int pending = 0;
        Clock::time_point nextJudgement{};
    };
    void forgetQuietHosts(Clock::time_point now);

    Policy policy_;
    std::unordered_map<std::string, Record> hosts_;
};

}  // namespace vl
