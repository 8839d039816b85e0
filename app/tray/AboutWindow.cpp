#include "app/tray/AboutWindow.h"

#include "app/tray/StatusIcon.h"

#include <QLabel>
#include <QVBoxLayout>

namespace vl {

AboutWindow::AboutWindow(const QString& version) {
    setWindowTitle("About Vantrel Link Server");
    setFixedSize(width, height);
    auto* layout = new QVBoxLayout(this);
    layout->addStretch();
    auto* image = new QLabel;
    image->setPixmap(QPixmap::fromImage(notonImage(96)));
    image->setAlignment(Qt::AlignCenter);
    layout->addWidget(image);
    auto* name = new QLabel("Vantrel Link Server");
    QFont bold = name->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.4);
    name->setFont(bold);
    name->setAlignment(Qt::AlignCenter);
    layout->addWidget(name);
    auto* versionLabel = new QLabel("Version " + version);
    versionLabel->setAlignment(Qt::AlignCenter);
    layout->addWidget(versionLabel);
    layout->addStretch();
}

}  // namespace vl
