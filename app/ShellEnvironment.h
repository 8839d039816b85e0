// app: the settings window's services and the password check, picked for this machine.
#pragma once

#include <memory>

namespace vl {

class AppShell;
class ServicesHub;
class SystemInfo;
class SettingsController;
class UserAuthenticator;

// Apply and do-not-disturb drive the control service through the services hub.
std::shared_ptr<SettingsController> makeSettingsController(std::shared_ptr<AppShell> shell,
                                                           ServicesHub& hub,
                                                           std::shared_ptr<SystemInfo> system);
// The account password checked through PAM.
std::shared_ptr<UserAuthenticator> makeUserAuthenticator();

}  // namespace vl
