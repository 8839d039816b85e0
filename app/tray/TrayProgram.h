// app/tray: the tray program — the main queue runs inside Qt's event loop. No Qt in this header.
#pragma once

#include <functional>
#include <memory>

namespace vl {

class AppDelegate;
class SettingsController;
class UserAuthenticator;

struct TrayLaunch {
    std::shared_ptr<AppDelegate> app;
    std::shared_ptr<SettingsController> settings;
    std::shared_ptr<UserAuthenticator> authenticator;
};

// Creates the toolkit, hands it the main queue, calls `prepare` for the delegate, runs the launch
// steps and the loop until Quit or stopMain(), then the termination steps. Returns the status.
int runTrayApplication(int& argc, char** argv, const std::function<TrayLaunch()>& prepare);

}  // namespace vl
