#include "app/tray/TrayApplication.h"

#include "app/tray/TrayProgram.h"

#include "app/AppDelegate.h"
#include "app/shell/SettingsController.h"
#include "app/tray/AboutWindow.h"
#include "app/tray/SettingsWindow.h"
#include "app/tray/StatusIcon.h"
#include "base/DispatchQueue.h"
#include "base/Log.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>

namespace vl {

TrayApplication::TrayApplication(std::shared_ptr<AppDelegate> app,
                                 std::shared_ptr<SettingsController> settings,
                                 std::shared_ptr<UserAuthenticator> authenticator)
    : app_(std::move(app)),
      settings_(std::move(settings)),
      authenticator_(std::move(authenticator)) {}

TrayApplication::~TrayApplication() = default;

void TrayApplication::createStatusItem() {
    statusItem_ = new QSystemTrayIcon(this);
    statusItem_->setToolTip("Vantrel Link Server");
    statusItem_->setIcon(statusIcon(false));
    statusItem_->show();
}

void TrayApplication::setupMenus() {
    menu_ = std::make_unique<QMenu>();
    menu_->addAction("About", [this] { didShowAbout(); });
    menu_->addSeparator();
    settingsAction_ = menu_->addAction("Settings", [this] { showGui(!guiOn_); });
    menu_->addSeparator();
    menu_->addAction("Quit", [] { DispatchQueue::stopMain(); });
    statusItem_->setContextMenu(menu_.get());
    // A left click opens the menu too, as a status item's does.
    connect(statusItem_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger && statusItem_->geometry().isValid())
                    menu_->popup(statusItem_->geometry().bottomLeft());
            });
}

void TrayApplication::finishLaunching() {
    setupMenus();
    // Without a tray host nobody could reach the menu: show the window instead. The icon stays,
    // and embeds when a tray appears.
    showGui(!QSystemTrayIcon::isSystemTrayAvailable());
}

void TrayApplication::setIconAsConnected(bool connected) {
    if (statusItem_) statusItem_->setIcon(statusIcon(connected));
}

void TrayApplication::logChanged() {
    if (settingsWindow_) settingsWindow_->reloadLog();
}

void TrayApplication::showGui(bool show) {
    guiOn_ = show;
    if (settingsAction_) settingsAction_->setText(show ? "Hide Settings" : "Show Settings");
    if (!show) {
        if (settingsWindow_) settingsWindow_->hide();
        return;
    }
    if (!settingsWindow_) {
        settingsWindow_ = std::make_unique<SettingsWindow>(settings_, *app_, authenticator_);
        settingsWindow_->setAttribute(Qt::WA_QuitOnClose, false);
    } else {
        settingsWindow_->load();
    }
    settingsWindow_->show();
    settingsWindow_->raise();
    settingsWindow_->activateWindow();
}

void TrayApplication::didShowAbout() {
    if (!aboutWindow_) {
        aboutWindow_ = std::make_unique<AboutWindow>(QApplication::applicationVersion());
        aboutWindow_->setAttribute(Qt::WA_QuitOnClose, false);
        if (auto* screen = QApplication::primaryScreen())
            aboutWindow_->move(screen->availableGeometry().center() -
                               aboutWindow_->rect().center());
    }
    aboutWindow_->show();
    aboutWindow_->raise();
    aboutWindow_->activateWindow();
}

int runTrayApplication(int& argc, char** argv, const std::function<TrayLaunch()>& prepare) {
    // Never destroyed: threads of the pool may still wake the main queue while the process exits.
    auto* qt = new QApplication(argc, argv);
    QApplication::setApplicationName("Vantrel Link Server");
    QApplication::setApplicationVersion(VANTREL_VERSION);
    QApplication::setQuitOnLastWindowClosed(false);
    DispatchQueue::driveMainFrom(
        [qt] {
            QMetaObject::invokeMethod(
                qt, [] { DispatchQueue::runMainBlocks(); }, Qt::QueuedConnection);
        },
        [qt] {
            QMetaObject::invokeMethod(
                qt, [] { QApplication::quit(); }, Qt::QueuedConnection);
        });

    TrayLaunch launch = prepare();
    TrayApplication tray(launch.app, launch.settings, launch.authenticator);
    launch.app->setStatusHooks([&tray](bool connected) { tray.setIconAsConnected(connected); },
                               [&tray](const LogItem&) { tray.logChanged(); });
    launch.app->applicationWillFinishLaunching();
    tray.createStatusItem();
    launch.app->applicationDidFinishLaunching();
    tray.finishLaunching();
    logMsg("Status item shown; tray host " +
           std::string(QSystemTrayIcon::isSystemTrayAvailable() ? "present" : "absent"));
    const int status = QApplication::exec();
    launch.app->setStatusHooks({}, {});
    launch.app->applicationWillTerminate();
    return status;
}

}  // namespace vl
