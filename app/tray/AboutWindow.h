// app/tray: the About window — the application image, its name and version.
#pragma once

#include <QWidget>

namespace vl {

class AboutWindow final : public QWidget {
  public:
    static constexpr int width = 420;
    static constexpr int height = 300;
    explicit AboutWindow(const QString& version);
};

}  // namespace vl
