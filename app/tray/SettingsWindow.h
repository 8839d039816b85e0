// app/tray: the settings window — machine name, password with reveal, ports, keep awake, do not
// disturb, Apply, and the connection log newest first with a block toggle per row.
#pragma once

#include <QWidget>

#include <memory>

class QCheckBox;
class QLabel;
class QLineEdit;
class QTableWidget;
class QToolButton;

namespace vl {

class AppDelegate;
class PasswordReveal;
class SettingsController;
class UserAuthenticator;

class SettingsWindow final : public QWidget {
  public:
    SettingsWindow(std::shared_ptr<SettingsController> controller, AppDelegate& app,
                   std::shared_ptr<UserAuthenticator> authenticator);

    // Shows the stored settings again (on each showing).
    void load();
    // Lists the log again, newest first.
    void reloadLog();

  private:
    void apply();
    void toggleBlocked(int reversedIndex);
    void setPasswordShown(bool shown);
    void showMessage(const QString& text, bool error);

    std::shared_ptr<SettingsController> controller_;
    AppDelegate& app_;  // its connection log is listed
    std::shared_ptr<PasswordReveal> reveal_;
    QLineEdit* name_;
    QLineEdit* password_;
    QToolButton* revealButton_;
    QLineEdit* ports_;
    QCheckBox* keepAwake_;
    QCheckBox* doNotDisturb_;
    QLabel* message_;
    QTableWidget* table_;
};

}  // namespace vl
