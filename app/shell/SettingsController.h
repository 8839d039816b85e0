// app/shell: what the settings window does — checks and stores its fields, restarts the control
// service when the port changed, keep awake and do not disturb. No toolkit here: the window
// only shows fields and messages, so every rule is testable with fakes.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vl {

class AppShell;
class SystemInfo;

struct SettingsFields {
    std::string machineName;
    std::string password;
    // One port, or "control,audio,video".
    std::string ports;
};

enum class SettingsError {
    emptyPassword,
    passwordTooLong,
    machineNameTooLong,
    portsNotNumbers,
    portOutOfRange,
    portsCollide,
};
std::string_view description(SettingsError error);

// The control port of a ports field, or why the field is refused. The nine ports after the
// control port must exist; in the three-port form audio and video follow the control port.
struct PortsField {
    int controlPort = 0;
};
std::optional<SettingsError> parsePortsField(const std::string& text, PortsField& out);

class SettingsController {
  public:
    static constexpr std::size_t maxMachineNameBytes = 63;  // one DNS label in the service name
    static constexpr std::size_t maxPasswordBytes = 256;

    struct Services {
        std::shared_ptr<AppShell> shell;
        std::shared_ptr<SystemInfo> system;
        std::function<void()> startService;
        std::function<void()> stopService;
        std::function<bool()> serviceRunning;
        std::function<void()> preventSleep;
        std::function<void()> restoreSleep;
    };
    explicit SettingsController(Services services);

    // The fields as stored, for the window to show.
    SettingsFields stored() const;
    bool keepAwake() const;
    bool doNotDisturb() const { return doNotDisturb_; }

    struct ApplyResult {
        std::optional<SettingsError> error;  // set: nothing was stored
        bool restarted = false;
    };
    ApplyResult apply(const SettingsFields& fields);
    void setKeepAwake(bool on);
    void setDoNotDisturb(bool on);

  private:
    Services services_;
    bool doNotDisturb_ = false;
};

}  // namespace vl
