#include "comm/PasswordGuessThrottle.h"

#include <algorithm>

namespace vl {

Clock::duration PasswordGuessThrottle::delayAfter(int failures) const {
    if (failures <= 0) return Clock::duration::zero();
    Clock::duration delay = policy_.firstDelay;
    for (int i = 1; i < failures && delay < policy_.maxDelay; ++i) delay *= 2;
    return std::min(delay, policy_.maxDelay);
}

bool PasswordGuessThrottle::isQuiet(const Record& record, Clock::time_point now) const {
    return record.waiting.empty() && record.lastJudgement + policy_.forgetAfter < now;
}

PasswordGuessThrottle::Record& PasswordGuessThrottle::recordOf(const std::string& host,
                                                               Clock::time_point now) {
    auto found = hosts_.find(host);
    if (found == hosts_.end()) {
        if (hosts_.size() >= policy_.maxAddresses) forgetQuietHosts(now);
        found = hosts_.emplace(host, Record{}).first;
    }
    // Failures long past are forgiven.
    if (isQuiet(found->second, now)) found->second = Record{};
    return found->second;
}

PasswordGuessThrottle::Admission PasswordGuessThrottle::admit(const std::string& host,
                                                              Attempt attempt,
                                                              Clock::time_point now) {
    Record& record = recordOf(host, now);
    if (record.failures == 0 && record.waiting.empty()) return Admission::judgeNow;
    if (record.waiting.empty() && now >= turnOf(record)) return Admission::judgeNow;
    if (static_cast<int>(record.waiting.size()) >= policy_.maxPending) return Admission::refused;
    record.waiting.push_back(attempt);
    return Admission::waiting;
}

std::optional<PasswordGuessThrottle::Attempt> PasswordGuessThrottle::takeDue(
    const std::string& host, Clock::time_point now) {
    auto found = hosts_.find(host);
    if (found == hosts_.end()) return std::nullopt;
    Record& record = found->second;
    if (record.waiting.empty() || now < turnOf(record)) return std::nullopt;
    Attempt attempt = record.waiting.front();
    record.waiting.pop_front();
    return attempt;
}

std::optional<Clock::time_point> PasswordGuessThrottle::nextTurn(const std::string& host) const {
    auto found = hosts_.find(host);
    if (found == hosts_.end() || found->second.waiting.empty()) return std::nullopt;
    return turnOf(found->second);
}

void PasswordGuessThrottle::withdraw(const std::string& host, Attempt attempt) {
    auto found = hosts_.find(host);
    if (found == hosts_.end()) return;
    std::erase(found->second.waiting, attempt);
}

void PasswordGuessThrottle::recordFailure(const std::string& host, Clock::time_point now) {
    Record& record = recordOf(host, now);
    ++record.failures;
    record.lastJudgement = now;
}

void PasswordGuessThrottle::recordSuccess(const std::string& host) {
    // Whoever else waits from this address is judged at once from now on.
    auto found = hosts_.find(host);
    if (found == hosts_.end()) return;
    found->second.failures = 0;
    if (found->second.waiting.empty()) hosts_.erase(found);
}

void PasswordGuessThrottle::forgetQuietHosts(Clock::time_point now) {
    std::erase_if(hosts_, [&](const auto& entry) { return isQuiet(entry.second, now); });
    if (hosts_.size() < policy_.maxAddresses) return;
    // Still full: the address judged longest ago goes, so memory stays bounded.
    auto oldest = std::min_element(hosts_.begin(), hosts_.end(), [](const auto& a, const auto& b) {
        return a.second.lastJudgement < b.second.lastJudgement;
    });
    hosts_.erase(oldest);
}

}  // namespace vl
