#include "app/ShellEnvironment.h"

#include "app/SystemInfo.h"
#include "app/shell/SettingsController.h"
#include "platform/session/pam/PamAuthenticator.h"
#include "workers/ControlRequestService.h"
#include "workers/ServicesHub.h"

namespace vl {

std::shared_ptr<SettingsController> makeSettingsController(std::shared_ptr<AppShell> shell) {
    SettingsController::Services services;
    services.shell = std::move(shell);
    services.startService = [] { ServicesHub::startServices(); };
    services.stopService = [] { ServicesHub::stopServices(); };
    services.serviceRunning = [] { return ControlRequestService::shared().isRunning(); };
    services.preventSleep = [] { SystemInfo::preventSystemSleepOrLock(); };
    services.restoreSleep = [] { SystemInfo::restoreSystemSleepOrLock(); };
    return std::make_shared<SettingsController>(std::move(services));
}

std::shared_ptr<UserAuthenticator> makeUserAuthenticator() {
    return std::make_shared<PamAuthenticator>();
}

}  // namespace vl
