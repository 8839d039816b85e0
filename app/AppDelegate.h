// app: the server program's delegate — starts the system at launch, follows the session
// notifications, and shuts the system down at exit. Headless: the status item and settings
// window are drawn by the tray program through the hooks; the console program reports them.
#pragma once

#include "app/shell/ConnectionLog.h"
#include "base/NotificationCenter.h"
#include "comm/AppShell.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vl {

class SystemInfo;

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
        // Run on the main queue when the icon's state or the connection log changes; the tray
        // draws them, the console program has none.
        std::function<void(bool connected)> iconChanged;
        std::function<void(const LogItem& added)> logChanged;
    };

    AppDelegate(Hooks hooks, std::shared_ptr<SystemInfo> system);
    ~AppDelegate() override;

    void applicationWillFinishLaunching();
    void applicationDidFinishLaunching();
    void applicationWillTerminate();

    std::optional<std::string> currentConnectedClient() const override;
    void setCurrentConnectedClient(std::optional<std::string> deviceID) override;

    bool isBlocked(const std::string& deviceID) const override;

    // Replaces the hooks that draw the icon and the log (the tray sets them once it exists).
    void setStatusHooks(std::function<void(bool connected)> iconChanged,
                        std::function<void(const LogItem& added)> logChanged);

    void setIconAsConnected(bool connected);
    bool iconConnected() const;

    // The connection log (shown newest first by the settings window).
    ConnectionLog& log() { return log_; }
    void addLogItem(const std::string& description, const std::string& deviceId);
    void loadLog();
    void saveLog();

  private:
    void enableOpenAtLogin();
    void setupNotifications();
    void dropNotifications();

    Hooks hooks_;
    const std::shared_ptr<SystemInfo> system_;
    mutable std::mutex mutex_;
    std::optional<std::string> currentConnectedClient_;
    bool iconConnected_ = false;
    std::vector<NotificationCenter::Token> cancellables_;
    ConnectionLog log_;
};

// Posted with the new LogItem when an entry is added to the connection log.
inline constexpr const char* addClientInfoStrNotification = "addClientInfoStr";

}  // namespace vl
