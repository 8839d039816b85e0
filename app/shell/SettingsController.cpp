#include "app/shell/SettingsController.h"

#include "app/SystemInfo.h"
#include "base/Log.h"
#include "base/NotificationCenter.h"
#include "comm/AppShell.h"
#include "comm/ControlServer.h"
#include "platform/defaults/Interface.h"

#include <vector>

namespace vl {

std::string_view description(SettingsError error) {
    switch (error) {
        case SettingsError::emptyPassword:
            return "The password must not be empty.";
        case SettingsError::passwordTooLong:
            return "The password is too long (at most 256 bytes).";
        case SettingsError::machineNameTooLong:
            return "The machine name is too long (at most 63 bytes).";
        case SettingsError::portsNotNumbers:
            return "Ports are either 'xxxx' or 'xxxx,yyyy,zzzz'.";
        case SettingsError::portOutOfRange:
            return "The control port must be from 1 to 65526 (the nine ports after it are used "
                   "too).";
        case SettingsError::portsCollide:
            return "The audio and video ports follow the control port: control + 1 and "
                   "control + 2.";
    }
    return "Invalid settings.";
}

std::optional<SettingsError> parsePortsField(const std::string& text, PortsField& out) {
    std::vector<int> ports;
    std::size_t start = 0;
    for (;;) {
        const auto comma = text.find(',', start);
        std::string part = text.substr(start, comma == std::string::npos ? comma : comma - start);
        while (!part.empty() && part.front() == ' ') part.erase(part.begin());
        while (!part.empty() && part.back() == ' ') part.pop_back();
        auto port = parseDecimalInt(part);
        if (!port || part.size() > 6) return SettingsError::portsNotNumbers;
        ports.push_back(*port);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (ports.size() != 1 && ports.size() != 3) return SettingsError::portsNotNumbers;
    const int control = ports[0];
    if (control < 1 || control > 65526) return SettingsError::portOutOfRange;
    if (ports.size() == 3 && (ports[1] != control + 1 || ports[2] != control + 2))
        return SettingsError::portsCollide;
    out.controlPort = control;
    return std::nullopt;
}

SettingsController::SettingsController(Services services) : services_(std::move(services)) {}

SettingsFields SettingsController::stored() const {
    return {services_.system->machineName(), services_.system->password(),
            std::to_string(services_.system->accessControlPort())};
}

bool SettingsController::keepAwake() const {
    return services_.system->keepAwake();
}

SettingsController::ApplyResult SettingsController::apply(const SettingsFields& fields) {
    // Everything is checked before anything is stored.
    if (fields.password.empty()) return {SettingsError::emptyPassword};
    if (fields.password.size() > maxPasswordBytes) return {SettingsError::passwordTooLong};
    if (fields.machineName.size() > maxMachineNameBytes) return {SettingsError::machineNameTooLong};
    PortsField ports;
    if (auto error = parsePortsField(fields.ports, ports)) return {*error};

    auto& defaults = services_.system->defaults();
    if (!fields.machineName.empty() && fields.machineName != services_.system->machineName())
        defaults.set(SystemInfoKeys::machinename, fields.machineName);
    if (fields.password != services_.system->password())
        defaults.set(SystemInfoKeys::password, fields.password);
    const int previousPort = services_.system->accessControlPort();
    defaults.set(SystemInfoKeys::controlport, std::to_string(ports.controlPort));
    if (ports.controlPort == previousPort) return {};
    logMsg("🟪 Control port changed from " + std::to_string(previousPort) + " to " +
           std::to_string(ports.controlPort) + "; restarting the control service");
    if (services_.stopService) services_.stopService();
    if (services_.startService) services_.startService();
    return {std::nullopt, true};
}

void SettingsController::setKeepAwake(bool on) {
    services_.system->defaults().set(SystemInfoKeys::keepawake, on);
    if (on) {
        if (services_.preventSleep) services_.preventSleep();
    } else if (services_.restoreSleep) {
        services_.restoreSleep();
    }
}

void SettingsController::setDoNotDisturb(bool on) {
    doNotDisturb_ = on;
    if (on) {
        // The control server ends the session (the client is told "disconnect") on this post.
        if (services_.shell) services_.shell->setCurrentConnectedClient(std::nullopt);
        NotificationCenter::defaultCenter().post(clientDisconnectNotification, {});
        if (services_.stopService) services_.stopService();
        logMsg("🟪 Do not disturb: the control service is stopped");
    } else {
        if (!services_.serviceRunning || !services_.serviceRunning()) {
            if (services_.startService) services_.startService();
        }
        logMsg("🟪 Do not disturb is off: the control service runs");
    }
}

}  // namespace vl
