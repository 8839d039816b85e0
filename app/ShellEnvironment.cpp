#include "app/ShellEnvironment.h"

#include "app/SystemInfo.h"
#include "app/shell/SettingsController.h"
#include "base/Log.h"
#include "platform/session/pam/PamAuthenticator.h"
#include "workers/ServicesHub.h"

namespace vl {

std::shared_ptr<SettingsController> makeSettingsController(std::shared_ptr<AppShell> shell,
                                                           ServicesHub& hub,
                                                           std::shared_ptr<SystemInfo> system) {
    SettingsController::Services services;
    services.shell = std::move(shell);
    services.system = system;
    services.startService = [&hub] { hub.startServices(); };
    services.stopService = [&hub] { hub.stopServices(); };
    services.serviceRunning = [&hub] { return hub.servicesRunning(); };
    services.preventSleep = [system] { system->preventSystemSleepOrLock(); };
    services.restoreSleep = [system] { system->restoreSystemSleepOrLock(); };
    return std::make_shared<SettingsController>(std::move(services));
}

std::shared_ptr<UserAuthenticator> makeUserAuthenticator() {
    return std::make_shared<PamAuthenticator>();
}

}  // namespace vl
