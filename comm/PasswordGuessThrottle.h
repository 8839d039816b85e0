// comm: slows password guessing. An address that has failed has its attempts judged one at a
// time, each turn later than the last judgement by a delay that doubles with every recent failure,
// up to a cap; attempts that arrive meanwhile wait in line, and one whose connection goes away
// leaves the line. A correct password clears the address. An address that never failed is judged
// at once, so the real client is not delayed.
#pragma once

#include "base/DispatchQueue.h"

#include <cstddef>
#include <cstdint>
#include <deque>
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

    // Names one attempt (the server uses its connection's id).
    using Attempt = std::uint64_t;
    enum class Admission {
        judgeNow,  // judge it now, then report recordFailure or recordSuccess
        waiting,   // in line: takeDue hands it out once its turn has come
        refused,   // too many waiting from this address: not judged at all
    };

    PasswordGuessThrottle() = default;
    explicit PasswordGuessThrottle(Policy policy) : policy_(policy) {}

    Admission admit(const std::string& host, Attempt attempt, Clock::time_point now);
    // The first waiting attempt of the host, taken out of the line, if its turn has come.
    std::optional<Attempt> takeDue(const std::string& host, Clock::time_point now);
    // When the host's next turn comes, while attempts wait.
    std::optional<Clock::time_point> nextTurn(const std::string& host) const;
    // The attempt's connection went away before its turn: it gives its place back.
    void withdraw(const std::string& host, Attempt attempt);

    void recordFailure(const std::string& host, Clock::time_point now);
    void recordSuccess(const std::string& host);

    // The wait between judgements after `failures` recent failures.
    Clock::duration delayAfter(int failures) const;
    std::size_t rememberedAddresses() const { return hosts_.size(); }

  private:
    struct Record {
        int failures = 0;
        Clock::time_point lastJudgement{};
        std::deque<Attempt> waiting;
    };
    // When the record's next judgement may come.
    Clock::time_point turnOf(const Record& record) const {
        return record.lastJudgement + delayAfter(record.failures);
    }
    Record& recordOf(const std::string& host, Clock::time_point now);
    bool isQuiet(const Record& record, Clock::time_point now) const;
    void forgetQuietHosts(Clock::time_point now);

    Policy policy_;
    std::unordered_map<std::string, Record> hosts_;
};

}  // namespace vl
