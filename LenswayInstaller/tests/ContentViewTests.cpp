// The installer's window in each state, drawn by Qt's offscreen platform: the status line and the
// buttons follow the manager, and a picture of each state is kept for a person to look at.
#include "LenswayInstaller/ContentView.h"
#include "platform/extensions/fake/FakeExtensionManager.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPushButton>

#include <cstdlib>
#include <filesystem>

using namespace vl;

namespace {

QPushButton* button(QWidget& view, const QString& text) {
    for (auto* candidate : view.findChildren<QPushButton*>())
        if (candidate->text() == text) return candidate;
    return nullptr;
}

bool showsText(QWidget& view, const std::string& text) {
    for (auto* label : view.findChildren<QLabel*>())
        if (label->text().toStdString() == text) return true;
    return false;
}

TEST(ContentView, FollowsTheManagerThroughCheckingInstallingActiveAndFailed) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int argc = 1;
    char name[] = "lensway_installer_tests";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);

    auto system = std::make_shared<FakeExtensionManager>();
    auto manager = std::make_shared<SystemExtensionManager>(system);
    ContentView view(manager);
    manager->onChange = [&view] { view.refresh(); };
    view.setWindowTitle("Persona Camera Installer");
    view.show();
    QApplication::processEvents();

    const auto folder = std::filesystem::path(::testing::TempDir()) / "lensway-installer-shots";
    std::filesystem::create_directories(folder);
    std::vector<QImage> shots;
    auto shoot = [&](const std::string& state) {
        QApplication::processEvents();
        QImage image = view.grab().toImage();
        EXPECT_FALSE(image.isNull());
        EXPECT_TRUE(image.save(QString::fromStdString((folder / (state + ".png")).string())));
        shots.push_back(image);
    };

    ASSERT_TRUE(button(view, "Install") && button(view, "Remove"));
    EXPECT_TRUE(showsText(view, "Corvane Persona Camera Installer"));
    EXPECT_TRUE(showsText(view, "Checking…"));
    shoot("checking");

    button(view, "Install")->click();
    EXPECT_TRUE(showsText(view, "Installing extension…"));
    EXPECT_FALSE(button(view, "Install")->isEnabled());
    EXPECT_FALSE(button(view, "Remove")->isEnabled());
    shoot("installing");

    system->lastDelegate()->didFinishWithResult(ExtensionRequestResult::completed);
    system->lastDelegate()->foundProperties({{"0.1.0", true, false, false}});
    EXPECT_TRUE(showsText(view, "Camera extension is active."));
    EXPECT_FALSE(button(view, "Install")->isEnabled());
    EXPECT_TRUE(button(view, "Remove")->isEnabled());
    shoot("active");

    button(view, "Remove")->click();
    system->lastDelegate()->didFailWithError("Access denied");
    EXPECT_TRUE(showsText(view, "Failed: Access denied"));
    EXPECT_TRUE(button(view, "Remove")->isEnabled());
    shoot("failed");

    // Each state looks different from the one before.
    for (std::size_t i = 1; i < shots.size(); ++i) EXPECT_NE(shots[i], shots[i - 1]);
    // Kept for a person to look at only when asked for.
    if (!std::getenv("VL_KEEP_SCREENSHOTS")) std::filesystem::remove_all(folder);
}

}  // namespace
