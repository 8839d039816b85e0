#include "app/tray/SettingsWindow.h"

#include "app/AppDelegate.h"
#include "app/shell/ConnectionLog.h"
#include "app/shell/PasswordReveal.h"
#include "app/shell/SettingsController.h"
#include "base/DispatchQueue.h"

#include <QCheckBox>
#include <QDateTime>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace vl {

namespace {

// Authentication is slow on failure (PAM delays); it never runs on the main queue.
DispatchQueue& authenticationQueue() {
    static auto* queue = new DispatchQueue("com.corvane.vantrellink.authenticate");
    return *queue;
}

}  // namespace

SettingsWindow::SettingsWindow(std::shared_ptr<SettingsController> controller, AppDelegate& app,
                               std::shared_ptr<UserAuthenticator> authenticator)
    : controller_(std::move(controller)), app_(app) {
    setWindowTitle("Vantrel Link Settings");
    setObjectName("SettingsView");
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    name_ = new QLineEdit;
    form->addRow("Machine name", name_);

    auto* passwordRow = new QHBoxLayout;
    password_ = new QLineEdit;
    password_->setEchoMode(QLineEdit::Password);
    revealButton_ = new QToolButton;
    passwordRow->addWidget(password_);
    passwordRow->addWidget(revealButton_);
    form->addRow("Password", passwordRow);

    ports_ = new QLineEdit;
    ports_->setPlaceholderText("either 'xxxx' or 'xxxx,yyyy,zzzz'");
    form->addRow("Ports", ports_);
    layout->addLayout(form);

    keepAwake_ = new QCheckBox("Keep awake");
    doNotDisturb_ = new QCheckBox("Do not disturb");
    layout->addWidget(keepAwake_);
    layout->addWidget(doNotDisturb_);

    auto* applyRow = new QHBoxLayout;
    message_ = new QLabel;
    message_->setWordWrap(true);
    auto* applyButton = new QPushButton("Apply");
    applyRow->addWidget(message_, 1);
    applyRow->addWidget(applyButton);
    layout->addLayout(applyRow);

    table_ = new QTableWidget(0, 3);
    table_->setHorizontalHeaderLabels({"Connected", "Device", ""});
    table_->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    table_->verticalHeader()->hide();
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionMode(QAbstractItemView::NoSelection);
    layout->addWidget(new QLabel("Recent connections"));
    layout->addWidget(table_, 1);
    resize(460, 520);

    PasswordReveal::View view;
    view.alert = [this](const std::string& title, const std::string& text) {
        auto* box = new QMessageBox(QMessageBox::Warning, QString::fromStdString(title),
                                    QString::fromStdString(text), QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();  // no nested loop
    };
    view.askSecret = [this](const std::string& reason,
                            std::function<void(std::optional<std::string>)> answer) {
        auto* dialog = new QInputDialog(this);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setWindowTitle("Vantrel Link");
        dialog->setLabelText(QString::fromStdString(reason));
        dialog->setTextEchoMode(QLineEdit::Password);
        auto answered = std::make_shared<bool>(false);
        connect(dialog, &QInputDialog::textValueSelected, this,
                [answer, answered](const QString& text) {
                    *answered = true;
                    answer(text.toStdString());
                });
        connect(dialog, &QDialog::finished, this, [answer, answered](int) {
            if (!*answered) answer(std::nullopt);
        });
        dialog->open();
    };
    view.setShown = [this](bool shown) { setPasswordShown(shown); };
    reveal_ = PasswordReveal::make(std::move(authenticator), std::move(view), authenticationQueue(),
                                   DispatchQueue::main());
    setPasswordShown(false);

    connect(revealButton_, &QToolButton::clicked, this, [this] { reveal_->toggle(); });
    connect(applyButton, &QPushButton::clicked, this, [this] { apply(); });
    connect(keepAwake_, &QCheckBox::toggled, this,
            [this](bool on) { controller_->setKeepAwake(on); });
    connect(doNotDisturb_, &QCheckBox::toggled, this,
            [this](bool on) { controller_->setDoNotDisturb(on); });
    load();
}

void SettingsWindow::load() {
    const auto stored = controller_->stored();
    name_->setText(QString::fromStdString(stored.machineName));
    password_->setText(QString::fromStdString(stored.password));
    ports_->setText(QString::fromStdString(stored.ports));
    const QSignalBlocker blockAwake(keepAwake_), blockQuiet(doNotDisturb_);
    keepAwake_->setChecked(controller_->keepAwake());
    doNotDisturb_->setChecked(controller_->doNotDisturb());
    message_->clear();
    reloadLog();
}

void SettingsWindow::setPasswordShown(bool shown) {
    password_->setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password);
    // The eye, or the crossed eye that offers hiding.
    revealButton_->setText(shown ? "Hide" : "Show");
    revealButton_->setToolTip(shown ? "Hide the password" : "Show the password");
    revealButton_->setAccessibleName(shown ? "Hide password" : "Show password");
}

void SettingsWindow::showMessage(const QString& text, bool error) {
    message_->setStyleSheet(error ? "color: #c0392b;" : "");
    message_->setText(text);
}

void SettingsWindow::apply() {
    SettingsFields fields{name_->text().trimmed().toStdString(), password_->text().toStdString(),
                          ports_->text().toStdString()};
    auto result = controller_->apply(fields);
    if (result.error) {
        showMessage(QString::fromUtf8(description(*result.error).data(),
                                      static_cast<int>(description(*result.error).size())),
                    true);
        return;
    }
    showMessage(result.restarted ? "Saved; the server restarted on the new port." : "Saved.",
                false);
}

void SettingsWindow::reloadLog() {
    const auto items = app_.log().newestFirst();
    table_->setRowCount(static_cast<int>(items.size()));
    for (int row = 0; row < static_cast<int>(items.size()); ++row) {
        const auto& item = items[static_cast<std::size_t>(row)];
        const auto when = QDateTime::fromSecsSinceEpoch(
            std::chrono::duration_cast<std::chrono::seconds>(item.time.time_since_epoch()).count());
        table_->setItem(row, 0, new QTableWidgetItem(when.toString("yyyy-MM-dd hh:mm:ss")));
        auto* device = new QTableWidgetItem(QString::fromStdString(item.description));
        device->setToolTip(QString::fromStdString(item.deviceId));
        table_->setItem(row, 1, device);
        auto* toggle = new QPushButton(item.blocked ? "Blocked ⛔" : "Block");
        toggle->setCheckable(true);
        toggle->setChecked(item.blocked);
        toggle->setToolTip(item.blocked ? "Remove this entry" : "Refuse this device");
        connect(toggle, &QPushButton::clicked, this, [this, row] { toggleBlocked(row); });
        table_->setCellWidget(row, 2, toggle);
    }
    table_->resizeColumnToContents(0);
    table_->resizeColumnToContents(2);
}

void SettingsWindow::toggleBlocked(int reversedIndex) {
    app_.log().toggleBlocked(static_cast<std::size_t>(reversedIndex));
    // Kept at once, so a block outlives a crash as well as a quit.
    app_.saveLog();
    // Reloaded after this click returns: the button that was clicked goes with the table.
    QMetaObject::invokeMethod(
        this, [this] { reloadLog(); }, Qt::QueuedConnection);
}

}  // namespace vl
