// app/tray: the status item — its icon (colour while a client is connected, grey otherwise), its
// menu (About, Settings / Hide Settings, Quit), the settings window and the About window.
#pragma once

#include <QObject>

#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace vl {

class AboutWindow;
class AppDelegate;
class SettingsController;
class SettingsWindow;
class UserAuthenticator;

class TrayApplication final : public QObject {
  public:
    TrayApplication(std::shared_ptr<AppDelegate> app, std::shared_ptr<SettingsController> settings,
                    std::shared_ptr<UserAuthenticator> authenticator);
    ~TrayApplication() override;

    // The status item with the idle icon; before the delegate's launch steps.
    void createStatusItem();
    // The menu, then the settings window hidden, or shown when no tray host can hold the icon.
    void finishLaunching();

    void setIconAsConnected(bool connected);
    void logChanged();
    void showGui(bool show);
    void didShowAbout();

  private:
    void setupMenus();

    std::shared_ptr<AppDelegate> app_;
    std::shared_ptr<SettingsController> settings_;
    std::shared_ptr<UserAuthenticator> authenticator_;
    QSystemTrayIcon* statusItem_ = nullptr;
    std::unique_ptr<QMenu> menu_;
    QAction* settingsAction_ = nullptr;
    std::unique_ptr<SettingsWindow> settingsWindow_;
    std::unique_ptr<AboutWindow> aboutWindow_;
    bool guiOn_ = false;
};

}  // namespace vl
