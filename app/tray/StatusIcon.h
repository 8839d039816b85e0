// app/tray: the "noton" status image, in colour while a client is connected and grey otherwise.
#pragma once

#include <QIcon>
#include <QImage>

namespace vl {

// The application's image, drawn here (no image files to install or load).
QImage notonImage(int size = 64);
// The image in grey tones, keeping its transparency.
QImage greyed(const QImage& image);
QIcon statusIcon(bool connected);

}  // namespace vl
