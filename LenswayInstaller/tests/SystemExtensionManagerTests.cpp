#include "LenswayInstaller/SystemExtensionManager.h"

#include "LenswayInstaller/UnitFile.h"
#include "base/testing/LogCapture.h"
#include "platform/extensions/fake/FakeExtensionManager.h"
#include "platform/extensions/systemd/SystemdExtensionManager.h"

#include <gtest/gtest.h>

using namespace vl;
using Kind = FakeExtensionManager::Kind;

namespace {

class SystemExtensionManagerTest : public ::testing::Test {
  protected:
    std::shared_ptr<FakeExtensionManager> system = std::make_shared<FakeExtensionManager>();
    std::shared_ptr<SystemExtensionManager> manager =
        std::make_shared<SystemExtensionManager>(system);
};

TEST_F(SystemExtensionManagerTest, InstallIsBusyUntilItFinishesThenAsksForTheStateAgain) {
    int changes = 0;
    manager->onChange = [&] { ++changes; };
    EXPECT_EQ(manager->statusMessage(), "Checking…");
    EXPECT_TRUE(manager->canInstall());
    EXPECT_FALSE(manager->canRemove());

    manager->install();
    ASSERT_EQ(system->requests.size(), 1u);
    EXPECT_EQ(system->requests[0].kind, Kind::activation);
    EXPECT_EQ(system->requests[0].identifier, "com.corvane.cam.persona.extension");
    EXPECT_EQ(manager->statusMessage(), "Installing extension…");
    EXPECT_TRUE(manager->isBusy());
    EXPECT_FALSE(manager->canInstall());

    // Approval needed: the text stays until the next answer.
    system->lastDelegate()->requestNeedsUserApproval();
    EXPECT_EQ(manager->statusMessage(), SystemExtensionManager::approvalText);
    EXPECT_TRUE(manager->isBusy());

    system->lastDelegate()->didFinishWithResult(ExtensionRequestResult::completed);
    EXPECT_EQ(manager->statusMessage(), "Extension request completed.");
    EXPECT_FALSE(manager->isBusy());
    ASSERT_EQ(system->requests.size(), 2u);
    EXPECT_EQ(system->requests[1].kind, Kind::properties);
    EXPECT_TRUE(manager->hasPendingPropertiesRequest());

    system->lastDelegate()->foundProperties({{"1.0", true, false, false}});
    EXPECT_FALSE(manager->hasPendingPropertiesRequest());
    EXPECT_TRUE(manager->isActivated());
    EXPECT_EQ(manager->statusMessage(), "Camera extension is active.");
    EXPECT_TRUE(manager->canRemove());
    EXPECT_FALSE(manager->canInstall());
    EXPECT_EQ(changes, 4);  // install, approval, finish, properties

    manager->uninstall();
    EXPECT_EQ(system->requests.back().kind, Kind::deactivation);
    EXPECT_EQ(manager->statusMessage(), "Removing extension…");
    system->lastDelegate()->didFailWithError("Unit lensway.service not loaded.");
    EXPECT_EQ(manager->statusMessage(), "Failed: Unit lensway.service not loaded.");
    EXPECT_FALSE(manager->isBusy());
}

TEST_F(SystemExtensionManagerTest, StatusFollowsTheReportedVersionsAndResults) {
    manager->refreshStatus();
    auto delegate = system->lastDelegate();
    // One version uninstalling, another enabled: active.
    delegate->foundProperties({{"1.0", true, false, true}, {"1.1", true, false, false}});
    EXPECT_TRUE(manager->isActivated());
    delegate->foundProperties({{"1.0", true, false, true}});
    EXPECT_FALSE(manager->isActivated());
    EXPECT_EQ(manager->statusMessage(), "Camera extension is not active and ready to Install");
    delegate->foundProperties({{"1.1", false, true, false}});
    EXPECT_EQ(manager->statusMessage(), "Awaiting approval in System Settings.");
    delegate->foundProperties({});
    EXPECT_EQ(manager->statusMessage(), SystemExtensionManager::notActiveText);

    delegate->didFinishWithResult(ExtensionRequestResult::willCompleteAfterReboot);
    EXPECT_EQ(manager->statusMessage(), "Extension request will complete after reboot.");
    delegate->didFinishWithResult(ExtensionRequestResult::other);
    EXPECT_EQ(manager->statusMessage(), "Extension request finished.");

    vl::testing::LogCapture log;
    EXPECT_EQ(delegate->actionForReplacingExtension("0.9.0", "0.1.0"), ReplacementAction::replace);
    EXPECT_TRUE(log.contains("Replacing extension version 0.9.0 with 0.1.0"));
}

TEST(LenswayUnitFile, ShipsTheDaemonsPathAndAVersionTheReplacementCheckReads) {
    const std::string text = lenswayUnitFile("/opt/vantrel/lensway");
    EXPECT_NE(text.find("ExecStart=/opt/vantrel/lensway\n"), std::string::npos);
    EXPECT_NE(text.find("WantedBy=default.target"), std::string::npos);
    EXPECT_FALSE(SystemdExtensionManager::versionOf(text).empty());
    EXPECT_EQ(text.find('@'), std::string::npos);
}

}  // namespace
