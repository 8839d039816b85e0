// LenswayInstaller: the window — a camera symbol, the heading, the status line and the Install and
// Remove buttons, following the manager's state.
#pragma once

#include "LenswayInstaller/SystemExtensionManager.h"

#include <QWidget>

#include <memory>

class QLabel;
class QPushButton;

namespace vl {

class ContentView : public QWidget {
  public:
    explicit ContentView(std::shared_ptr<SystemExtensionManager> manager);

    void refresh();

  private:
    std::shared_ptr<SystemExtensionManager> manager_;
    QLabel* status_ = nullptr;
    QPushButton* install_ = nullptr;
    QPushButton* remove_ = nullptr;
};

}  // namespace vl
