// app: the server program's delegate — starts the system at launch, follows the session
// notifications, and shuts the system down at exit. Headless: the status item and settings
// window have no toolkit here, so their state changes are reported instead of drawn.
#pragma once

#include "base/NotificationCenter.h"
#include "comm/AppShell.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vl {

class AppDelegate final : public AppShell, public std::enable_shared_from_this<AppDelegate> {
  public:
    struct Hooks {
        // Loads and releases the virtual display library; empty where there is none.
        std::function<void()> prepareServices;
        std::function<void()> cleanupServices;
        std::function<void()> startServices;
        std::function<void()> stopServices;
        // Registers the program to start at login; returns an error text on failure.
        std::function<std::optional<std::string>()> enableOpenAtLogin;
    };

    explicit AppDelegate(Hooks hooks);
    ~AppDelegate() override;

    void applicationWillFinishLaunching();
    void applicationDidFinishLaunching();
    void applicationWillTerminate();

    std::optional<std::string> currentConnectedClient() const override;
    void setCurrentConnectedClient(std::optional<std::string> deviceID) override;

    void setIconAsConnected(bool connected);
    bool iconConnected() const;

  private:
    void enableOpenAtLogin();
    void setupNotifications();
    void dropNotifications();

    Hooks hooks_;
    mutable std::mutex mutex_;
    std::optional<std::string> currentConnectedClient_;
    bool iconConnected_ = false;
    std::vector<NotificationCenter::Token> cancellables_;
};

}  // namespace vl
