// app: settings, host facts, application identity and idle-sleep prevention.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vl {

class DefaultsStore;
class HostFacts;
class Keychain;
class PowerService;

namespace SystemInfoKeys {
inline constexpr const char* password = "password";
inline constexpr const char* machinename = "machinename";
inline constexpr const char* controlport = "controlport";
inline constexpr const char* keepawake = "keepawake";
inline constexpr const char* savedLogs = "SavedLogs";
}  // namespace SystemInfoKeys

// The host services SystemInfo reads; the program's composition root supplies the real ones,
// tests supply fakes.
struct SystemServices {
    std::shared_ptr<DefaultsStore> defaults;
    std::shared_ptr<Keychain> keychain;
    std::shared_ptr<PowerService> power;
    std::shared_ptr<HostFacts> host;
};

// The server's settings and host facts over the services it was made with. One is made by the
// composition root and handed to whoever needs it; safe from any thread.
class SystemInfo {
  public:
    // Characters of a generated password: letters and digits that cannot be misread.
    static constexpr std::string_view passwordAlphabet =
        "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    static constexpr std::size_t generatedPasswordLength = 8;
    static constexpr int defaultControlPort = 8788;
    static constexpr const char* appIDService = "com.corvane.vantrellink.appid";
    static constexpr const char* appIDAccount = "AppUniqueID";
    static constexpr const char* sleepAssertionName = "Remote desktop session active";

    explicit SystemInfo(SystemServices services);
    // Ends any idle-sleep prevention still held.
    ~SystemInfo();
    SystemInfo(const SystemInfo&) = delete;
    SystemInfo& operator=(const SystemInfo&) = delete;

    DefaultsStore& defaults() const { return *services_.defaults; }
    // The keychain service items are kept in (the application identity, the TLS identity).
    const std::shared_ptr<Keychain>& keychain() const { return services_.keychain; }

    // The connection password: the stored setting. Where none was ever set, one is generated
    // at random, stored and reported, so no two installations share a password.
    std::string password();
    std::string machineName() const;
    std::optional<std::string> machineIPAddress() const;
    int accessControlPort() const;
    std::string appUniqueID();
    bool keepAwake() const;

    void preventSystemSleepOrLock();
    void restoreSystemSleepOrLock();

  private:
    struct SleepPrevention;

    const SystemServices services_;
    const std::shared_ptr<SleepPrevention> sleep_;
    std::mutex appIDMutex_;
    std::mutex passwordMutex_;
    // A generated password the settings store could not keep, for the rest of this run.
    std::optional<std::string> unstoredPassword_;
};

// "+9000" → 9000; anything that is not a whole decimal number (with an optional sign) → nothing.
std::optional<int> parseDecimalInt(const std::string& text);

}  // namespace vl
