#include "LenswayInstaller/ContentView.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace vl {

ContentView::ContentView(std::shared_ptr<SystemExtensionManager> manager)
    : manager_(std::move(manager)) {
    auto* layout = new QVBoxLayout(this);
    auto* symbol = new QLabel(this);
    // The theme's camera icon where there is one ("camera.fill" on the original platform).
    const QIcon camera =
        QIcon::fromTheme("camera-web", style()->standardIcon(QStyle::SP_DriveDVDIcon));
    symbol->setPixmap(camera.pixmap(48, 48));
    symbol->setAlignment(Qt::AlignHCenter);
    auto* heading = new QLabel("Corvane Persona Camera Installer", this);
    QFont font = heading->font();
    font.setPointSizeF(font.pointSizeF() * 1.4);
    font.setBold(true);
    heading->setFont(font);
    heading->setAlignment(Qt::AlignHCenter);
    status_ = new QLabel(this);
    status_->setWordWrap(true);
    status_->setAlignment(Qt::AlignHCenter);
    install_ = new QPushButton("Install", this);
    remove_ = new QPushButton("Remove", this);
    layout->addWidget(symbol);
    layout->addWidget(heading);
    layout->addWidget(status_);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(install_);
    buttons->addWidget(remove_);
    layout->addLayout(buttons);
    setMinimumWidth(420);
    QObject::connect(install_, &QPushButton::clicked, this, [this] { manager_->install(); });
    QObject::connect(remove_, &QPushButton::clicked, this, [this] { manager_->uninstall(); });
    refresh();
}

void ContentView::refresh() {
    status_->setText(QString::fromStdString(manager_->statusMessage()));
    install_->setEnabled(manager_->canInstall());
    remove_->setEnabled(manager_->canRemove());
}

}  // namespace vl
