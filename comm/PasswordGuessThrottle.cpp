#include "comm/PasswordGuessThrottle.h"

#include <algorithm>

namespace vl {

Clock::duration PasswordGuessThrottle::delayAfter(int strikes) const {
    if (strikes <= 0) return Clock::duration::zero();
    Clock::duration delay = policy_.firstDelay;
    for (int i = 1; i < strikes && delay < policy_.maxDelay; ++i) delay *= 2;
    return std::min(delay, policy_.maxDelay);
}

std::optional<Clock::time_point> PasswordGuessThrottle::admit(const std::string& host,
                                                              Clock::time_point now) {
    auto found = hosts_.find(host);
    if (found == hosts_.end()) {
        if (hosts_.size() >= policy_.maxAddresses) forgetQuietHosts(now);
        found = hosts_.emplace(host, Record{}).first;
    }
    Record& record = found->second;
    // Failures long past are forgiven.
    if (record.pending == 0 && record.nextJudgement + policy_.forgetAfter < now) record = Record{};
    if (record.pending >= policy_.maxPending) return std::nullopt;
    // Judged no earlier than the slot the previous attempt left; the next one waits longer.
    const Clock::time_point judgement = std::max(now, record.nextJudgement);
    ++record.pending;
    record.nextJudgement = judgement + delayAfter(record.failures + record.pending);
    return judgement;
}

void PasswordGuessThrottle::recordFailure(const std::string& host) {
    auto found = hosts_.find(host);
    if (found == hosts_.end()) return;
    found->second.pending = std::max(0, found->second.pending - 1);
    ++found->second.failures;
}

void PasswordGuessThrottle::recordSuccess(const std::string& host) {
    hosts_.erase(host);
}

void PasswordGuessThrottle::forgetQuietHosts(Clock::time_point now) {
    std::erase_if(hosts_, [&](const auto& entry) {
        return entry.second.pending == 0 && entry.second.nextJudgement + policy_.forgetAfter < now;
    });
    if (hosts_.size() < policy_.maxAddresses) return;
    // Still full: the address whose slot ended longest ago goes, so memory stays bounded.
    auto oldest = std::min_element(hosts_.begin(), hosts_.end(), [](const auto& a, const auto& b) {
        return a.second.nextJudgement < b.second.nextJudgement;
    });
    hosts_.erase(oldest);
}

}  // namespace vl
