// app: settings, host facts, application identity, idle-sleep prevention and the logging call.
#pragma once

#include "base/Log.h"
#include "base/SourceLocation.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vl {

class DefaultsStore;
class DispatchQueue;
class HostFacts;
class Keychain;
class PowerService;

namespace SystemInfoKeys {
inline constexpr const char* password = "password";
inline constexpr const char* machinename = "machinename";
inline constexpr const char* controlport = "controlport";
inline constexpr const char* keepawake = "keepawake";
inline constexpr const char* savedLogs = "SavedLogs";
// Named for completeness; every port derives from the control port, so these are never read.
inline constexpr const char* audioport = "audioport";
inline constexpr const char* videoport = "videoport";
inline constexpr const char* micport = "micport";
inline constexpr const char* camport = "camport";
inline constexpr const char* speedtestport = "speedtestport";
}  // namespace SystemInfoKeys

// The host services SystemInfo reads; the program's composition root supplies the real ones,
// tests supply fakes.
struct SystemServices {
    std::shared_ptr<DefaultsStore> defaults;
    std::shared_ptr<Keychain> keychain;
    std::shared_ptr<PowerService> power;
    std::shared_ptr<HostFacts> host;
};

class SystemInfo {
  public:
    SystemInfo() = delete;

    // Characters of a generated password: letters and digits that cannot be misread.
    static constexpr std::string_view passwordAlphabet =
        "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    static constexpr std::size_t generatedPasswordLength = 8;
    static constexpr int defaultControlPort = 8788;
    static constexpr const char* appIDService = "com.corvane.vantrellink.appid";
    static constexpr const char* appIDAccount = "AppUniqueID";
    static constexpr const char* sleepAssertionName = "Remote desktop session active";

    // Installs the services; ends any idle-sleep prevention made with the previous ones.
    static void configure(SystemServices services);
    static DefaultsStore& defaults();
    // The keychain service items are kept in (the application identity, the TLS identity).
    static std::shared_ptr<Keychain> keychain();

    // The connection password: the stored setting. Where none was ever set, one is generated
    // at random, stored and reported, so no two installations share a password.
    static std::string password();
    static std::string machineName();
    static std::optional<std::string> machineIPAddress();
    static int accessControlPort();
    static std::string appUniqueID();
    static bool keepAwake();

    static void preventSystemSleepOrLock();
    static void restoreSystemSleepOrLock();

    // Every report of the system goes through here; never blocks the caller.
    static void logMsg(std::string message, LogLevel level = LogLevel::info,
                       SourceLocation where = SourceLocation::current()) {
        vl::logMsg(std::move(message), level, where);
    }
    static DispatchQueue& logQueue();
};

// "+9000" → 9000; anything that is not a whole decimal number (with an optional sign) → nothing.
std::optional<int> parseDecimalInt(const std::string& text);

}  // namespace vl
