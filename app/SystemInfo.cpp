#include "app/SystemInfo.h"

#include "base/DispatchQueue.h"
#include "base/DispatchTimer.h"
#include "base/Uuid.h"
#include "platform/defaults/Interface.h"
#include "platform/host/Interface.h"
#include "platform/power/Interface.h"
#include "platform/security/Interface.h"

#include <charconv>
#include <mutex>
#include <random>

namespace vl {

namespace {

struct State {
    std::mutex mutex;
    SystemServices services;

    // Idle-sleep prevention, guarded by sleepMutex: callers come from any thread.
    std::mutex sleepMutex;
    std::shared_ptr<DispatchTimer> preventSleepTimer;
    std::optional<PowerAssertionID> displayAssertion;
    std::optional<PowerAssertionID> userActivityAssertion;

    std::mutex appIDMutex;
    std::mutex passwordMutex;
    // A generated password the settings store could not keep, for the rest of this run.
    std::optional<std::string> unstoredPassword;
};

State& state() {
    static State s;
    return s;
}

SystemServices services() {
    std::lock_guard lock(state().mutex);
    return state().services;
}

}  // namespace

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

void SystemInfo::configure(SystemServices newServices) {
    restoreSystemSleepOrLock();
    {
        std::lock_guard lock(state().passwordMutex);
        state().unstoredPassword.reset();
    }
    std::lock_guard lock(state().mutex);
    state().services = std::move(newServices);
}

std::shared_ptr<Keychain> SystemInfo::keychain() {
    return services().keychain;
}

DefaultsStore& SystemInfo::defaults() {
    return *services().defaults;
}

std::string SystemInfo::password() {
    auto s = services();
    if (auto stored = s.defaults->string(SystemInfoKeys::password)) return *stored;
    std::lock_guard lock(state().passwordMutex);
    if (auto stored = s.defaults->string(SystemInfoKeys::password)) return *stored;
    if (state().unstoredPassword) return *state().unstoredPassword;

    std::random_device random;  // the system's entropy source
    std::uniform_int_distribution<std::size_t> pick(0, passwordAlphabet.size() - 1);
    std::string fresh;
    for (std::size_t i = 0; i < generatedPasswordLength; ++i)
        fresh += passwordAlphabet[pick(random)];
    s.defaults->set(SystemInfoKeys::password, fresh);
    if (s.defaults->string(SystemInfoKeys::password) != fresh) {
        state().unstoredPassword = fresh;
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

std::string SystemInfo::machineName() {
    auto s = services();
    if (auto stored = s.defaults->string(SystemInfoKeys::machinename)) return *stored;
    std::string name = s.host->localizedName();
    return name.empty() ? "SuperMe" : name;
}

std::optional<std::string> SystemInfo::machineIPAddress() {
    auto list = services().host->interfaces();
    if (!list) return std::nullopt;
    for (const auto& interface : *list) {
        if (interface.up && interface.running && !interface.loopback && interface.ipv4)
            return interface.ipv4;
    }
    return std::nullopt;
}

int SystemInfo::accessControlPort() {
    auto stored = services().defaults->string(SystemInfoKeys::controlport);
    if (!stored) return defaultControlPort;
    return parseDecimalInt(*stored).value_or(defaultControlPort);
}

std::string SystemInfo::appUniqueID() {
    auto keychain = services().keychain;
    // One caller at a time, so two first uses cannot mint two identities.
    std::lock_guard lock(state().appIDMutex);
    if (auto stored = keychain->copyItem(appIDService, appIDAccount);
        stored && isValidUtf8(*stored))
        return stringOf(*stored);

    std::string fresh = Uuid::random().uuidString();
    auto status = keychain->addItem(appIDService, appIDAccount, bytesOf(fresh));
    if (status != KeychainStatus::success)
        logMsg("Failed to store appUniqueID in Keychain: " + std::string(description(status)),
               LogLevel::error);
    return fresh;
}

bool SystemInfo::keepAwake() {
    return services().defaults->boolean(SystemInfoKeys::keepawake).value_or(true);
}

void SystemInfo::preventSystemSleepOrLock() {
    auto& s = state();
    std::lock_guard lock(s.sleepMutex);
    if (s.preventSleepTimer) return;
    auto power = services().power;
    s.displayAssertion = power->preventUserIdleDisplaySleep(sleepAssertionName);

    auto timer = DispatchTimer::make(DispatchQueue::global());
    timer->schedule(Clock::now(), std::chrono::seconds(30));
    timer->setEventHandler([power] {
        auto& s = state();
        std::lock_guard lock(s.sleepMutex);
        if (!s.preventSleepTimer) return;  // restored while this firing was queued
        if (s.userActivityAssertion) power->releaseAssertion(*s.userActivityAssertion);
        s.userActivityAssertion = power->declareUserActivity(sleepAssertionName);
    });
    timer->resume();
    s.preventSleepTimer = std::move(timer);
}

void SystemInfo::restoreSystemSleepOrLock() {
    auto& s = state();
    std::lock_guard lock(s.sleepMutex);
    if (s.preventSleepTimer) {
        s.preventSleepTimer->cancel();
        s.preventSleepTimer.reset();
    }
    auto power = services().power;
    if (s.userActivityAssertion) {
        if (power) power->releaseAssertion(*s.userActivityAssertion);
        s.userActivityAssertion.reset();
    }
    if (s.displayAssertion) {
        if (power) power->releaseAssertion(*s.displayAssertion);
        s.displayAssertion.reset();
    }
}

DispatchQueue& SystemInfo::logQueue() {
    return Logger::shared().queue();
}

}  // namespace vl
