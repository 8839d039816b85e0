#include "app/SystemInfo.h"

#include "base/DispatchQueue.h"
#include "base/DispatchTimer.h"
#include "base/Log.h"
#include "base/Uuid.h"
#include "platform/defaults/Interface.h"
#include "platform/host/Interface.h"
#include "platform/power/Interface.h"
#include "platform/security/Interface.h"

#include <charconv>
#include <mutex>
#include <random>

namespace vl {

// Held by the refresh timer too, which may fire while the prevention is being restored.
struct SystemInfo::SleepPrevention {
    std::mutex mutex;
    std::shared_ptr<DispatchTimer> timer;
    std::optional<PowerAssertionID> displayAssertion;
    std::optional<PowerAssertionID> userActivityAssertion;
};

std::optional<int> parseDecimalInt(const std::string& text) {
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') ++first;
    if (first == last || *first == '+') return std::nullopt;
    int value = 0;
    auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end != last) return std::nullopt;
    return value;
}

SystemInfo::SystemInfo(SystemServices services)
    : services_(std::move(services)), sleep_(std::make_shared<SleepPrevention>()) {}

SystemInfo::~SystemInfo() {
    restoreSystemSleepOrLock();
}

std::string SystemInfo::password() {
    auto& defaults = *services_.defaults;
    if (auto stored = defaults.string(SystemInfoKeys::password)) return *stored;
    std::lock_guard lock(passwordMutex_);
    if (auto stored = defaults.string(SystemInfoKeys::password)) return *stored;
    if (unstoredPassword_) return *unstoredPassword_;

    std::random_device random;  // the system's entropy source
    std::uniform_int_distribution<std::size_t> pick(0, passwordAlphabet.size() - 1);
    std::string fresh;
    for (std::size_t i = 0; i < generatedPasswordLength; ++i)
        fresh += passwordAlphabet[pick(random)];
    defaults.set(SystemInfoKeys::password, fresh);
    if (defaults.string(SystemInfoKeys::password) != fresh) {
        unstoredPassword_ = fresh;
        logMsg(
            "🟥 The generated connection password could not be stored; it holds for this run "
            "only: " +
            fresh);
        return fresh;
    }
    logMsg("🔑 No connection password was set, so one was generated: " + fresh +
           " (change it with: vantrel-link config set password NEW)");
    return fresh;
}

std::string SystemInfo::machineName() const {
    if (auto stored = defaults().string(SystemInfoKeys::machinename); stored && !stored->empty())
        return *stored;
    std::string name = services_.host->localizedName();
    return name.empty() ? "SuperMe" : name;
}

std::optional<std::string> SystemInfo::machineIPAddress() const {
    auto list = services_.host->interfaces();
    if (!list) return std::nullopt;
    for (const auto& interface : *list) {
        if (interface.up && interface.running && !interface.loopback && interface.ipv4)
            return interface.ipv4;
    }
    return std::nullopt;
}

int SystemInfo::accessControlPort() const {
    auto stored = defaults().string(SystemInfoKeys::controlport);
    if (!stored) return defaultControlPort;
    return parseDecimalInt(*stored).value_or(defaultControlPort);
}

std::string SystemInfo::appUniqueID() {
    // One caller at a time, so two first uses cannot mint two identities.
    std::lock_guard lock(appIDMutex_);
    if (auto stored = services_.keychain->copyItem(appIDService, appIDAccount);
        stored && isValidUtf8(*stored))
        return stringOf(*stored);

    std::string fresh = Uuid::random().uuidString();
    auto status = services_.keychain->addItem(appIDService, appIDAccount, bytesOf(fresh));
    if (status != KeychainStatus::success)
        logMsg("Failed to store appUniqueID in Keychain: " + std::string(description(status)),
               LogLevel::error);
    return fresh;
}

bool SystemInfo::keepAwake() const {
    return defaults().boolean(SystemInfoKeys::keepawake).value_or(true);
}

void SystemInfo::preventSystemSleepOrLock() {
    auto& s = *sleep_;
    std::lock_guard lock(s.mutex);
    if (s.timer) return;
    auto power = services_.power;
    s.displayAssertion = power->preventUserIdleDisplaySleep(sleepAssertionName);

    auto timer = DispatchTimer::make(DispatchQueue::global());
    timer->schedule(Clock::now(), std::chrono::seconds(30));
    timer->setEventHandler([power, weak = std::weak_ptr<SleepPrevention>(sleep_)] {
        auto held = weak.lock();
        if (!held) return;
        std::lock_guard lock(held->mutex);
        if (!held->timer) return;  // restored while this firing was queued
        if (held->userActivityAssertion) power->releaseAssertion(*held->userActivityAssertion);
        held->userActivityAssertion = power->declareUserActivity(sleepAssertionName);
    });
    timer->resume();
    s.timer = std::move(timer);
}

void SystemInfo::restoreSystemSleepOrLock() {
    auto& s = *sleep_;
    std::lock_guard lock(s.mutex);
    if (s.timer) {
        s.timer->cancel();
        s.timer.reset();
    }
    const auto& power = services_.power;
    if (s.userActivityAssertion) {
        if (power) power->releaseAssertion(*s.userActivityAssertion);
        s.userActivityAssertion.reset();
    }
    if (s.displayAssertion) {
        if (power) power->releaseAssertion(*s.displayAssertion);
        s.displayAssertion.reset();
    }
}

}  // namespace vl
