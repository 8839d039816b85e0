#include "LenswayInstaller/ContentView.h"

#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

namespace vl {

namespace {

// A filled camera: the theme's icon where it has one, else drawn here.
QPixmap cameraSymbol() {
    const QIcon themed = QIcon::fromTheme("camera-web");
    if (!themed.isNull()) return themed.pixmap(48, 48);
    QPixmap pixmap(56, 40);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(60, 60, 67));
    painter.drawRoundedRect(QRectF(2, 8, 36, 28), 6, 6);
    const QPointF lens[] = {{38, 18}, {54, 9}, {54, 35}, {38, 26}};
    painter.drawPolygon(lens, 4);
    return pixmap;
}

}  // namespace

ContentView::ContentView(std::shared_ptr<SystemExtensionManager> manager)
    : manager_(std::move(manager)) {
    auto* layout = new QVBoxLayout(this);
    auto* symbol = new QLabel(this);
    symbol->setPixmap(cameraSymbol());
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
