// lensway-installer: installs the camera daemon as a systemd user service, or removes it, and
// shows whether it is active.
#include "LenswayInstaller/ContentView.h"
#include "LenswayInstaller/UnitFile.h"
#include "platform/extensions/systemd/SystemdExtensionManager.h"

#include <QApplication>
#include <QMetaObject>
#include <QTimer>

#include <filesystem>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(true);

    vl::SystemdExtensionManager::Options options;
    // The daemon installed beside the installer wins over the build's.
    const auto beside =
        std::filesystem::path(QCoreApplication::applicationDirPath().toStdString()) / "lensway";
    options.unitFileText = vl::lenswayUnitFile(std::filesystem::exists(beside)
                                                   ? beside.string()
                                                   : std::string(vl::lenswayBuiltExecutable));
    options.deliver = [&app](std::function<void()> block) {
        QMetaObject::invokeMethod(&app, std::move(block), Qt::QueuedConnection);
    };
    auto manager = std::make_shared<vl::SystemExtensionManager>(
        std::make_shared<vl::SystemdExtensionManager>(options));

    vl::ContentView view(manager);
    view.setWindowTitle("Persona Camera Installer");
    manager->onChange = [&view] { view.refresh(); };
    view.show();
    // When the window first opens.
    QTimer::singleShot(0, [manager] { manager->refreshStatus(); });
    return app.exec();
}
