#include "app/tray/StatusIcon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace vl {

QImage notonImage(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    // A disc in the product's teal-to-violet with a white visor across it.
    QLinearGradient fill(0, 0, s, s);
    fill.setColorAt(0, QColor(0x00, 0xb4, 0xd8));
    fill.setColorAt(1, QColor(0x7b, 0x2f, 0xf7));
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawEllipse(QRectF(s * 0.04, s * 0.04, s * 0.92, s * 0.92));
    QPainterPath visor;
    visor.addRoundedRect(QRectF(s * 0.18, s * 0.36, s * 0.64, s * 0.30), s * 0.14, s * 0.14);
    painter.setBrush(QColor(255, 255, 255, 235));
    painter.drawPath(visor);
    painter.setBrush(fill);
    painter.drawEllipse(QRectF(s * 0.44, s * 0.52, s * 0.12, s * 0.16));
    return image;
}

QImage greyed(const QImage& image) {
    QImage grey = image.convertToFormat(QImage::Format_Grayscale8)
                      .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    grey.setAlphaChannel(image.convertToFormat(QImage::Format_Alpha8));
    return grey;
}

QIcon statusIcon(bool connected) {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QImage image = notonImage(size);
        icon.addPixmap(QPixmap::fromImage(connected ? image : greyed(image)));
    }
    return icon;
}

}  // namespace vl
