// LenswayInstaller: installs and removes the camera daemon through the extension manager and turns
// its answers into what the window shows — a status line, a busy flag and an activated flag. Every
// call and every answer happens on the UI thread; each change is announced through onChange.
#pragma once

#include "platform/extensions/Interface.h"

#include <functional>
#include <memory>
#include <string>

namespace vl {

class SystemExtensionManager : public ExtensionRequestDelegate,
                               public std::enable_shared_from_this<SystemExtensionManager> {
  public:
    static constexpr const char* extensionIdentifier = "com.corvane.cam.persona.extension";

    static constexpr const char* checkingText = "Checking…";
    static constexpr const char* approvalText =
        "Approval required in System Settings › General › Login Items & Extensions.";
    static constexpr const char* completedText = "Extension request completed.";
    static constexpr const char* afterRebootText = "Extension request will complete after reboot.";
    static constexpr const char* finishedText = "Extension request finished.";
    static constexpr const char* activeText = "Camera extension is active.";
    static constexpr const char* awaitingText = "Awaiting approval in System Settings.";
    static constexpr const char* notActiveText =
        "Camera extension is not active and ready to Install";

    explicit SystemExtensionManager(std::shared_ptr<ExtensionManager> manager);

    void install();
    void uninstall();
    void refreshStatus();

    const std::string& statusMessage() const { return statusMessage_; }
    bool isBusy() const { return isBusy_; }
    bool isActivated() const { return isActivated_; }
    bool hasPendingPropertiesRequest() const { return propertiesRequest_; }
    // A natural rule for the buttons: install when neither busy nor active, remove when active.
    bool canInstall() const { return !isBusy_ && !isActivated_; }
    bool canRemove() const { return !isBusy_ && isActivated_; }

    std::function<void()> onChange;

    // The request delegate.
    ReplacementAction actionForReplacingExtension(const std::string& existingVersion,
                                                  const std::string& newVersion) override;
    void requestNeedsUserApproval() override;
    void foundProperties(const std::vector<ExtensionProperties>& properties) override;
    void didFinishWithResult(ExtensionRequestResult result) override;
    void didFailWithError(const std::string& localizedDescription) override;

  private:
    void submit(bool activation);
    void changed();

    const std::shared_ptr<ExtensionManager> manager_;
    std::string statusMessage_ = checkingText;
    bool isBusy_ = false;
    bool isActivated_ = false;
    bool propertiesRequest_ = false;
};

}  // namespace vl
