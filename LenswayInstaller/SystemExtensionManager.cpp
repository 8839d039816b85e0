#include "LenswayInstaller/SystemExtensionManager.h"

#include "base/Log.h"

#include <algorithm>

namespace vl {

namespace {
void log(const std::string& text) {
    logMsg("[com.corvane.cam.persona.extension:SystemExtension] " + text);
}
}  // namespace

SystemExtensionManager::SystemExtensionManager(std::shared_ptr<ExtensionManager> manager)
    : manager_(std::move(manager)) {}

void SystemExtensionManager::changed() {
    if (onChange) onChange();
}

void SystemExtensionManager::install() {
    submit(true);
}
void SystemExtensionManager::uninstall() {
    submit(false);
}

void SystemExtensionManager::submit(bool activation) {
    statusMessage_ = std::string(activation ? "Installing" : "Removing") + " extension…";
    isBusy_ = true;
    changed();
    if (activation)
        manager_->submitActivationRequest(extensionIdentifier, weak_from_this());
    else
        manager_->submitDeactivationRequest(extensionIdentifier, weak_from_this());
}

void SystemExtensionManager::refreshStatus() {
    propertiesRequest_ = true;
    manager_->submitPropertiesRequest(extensionIdentifier, weak_from_this());
}

ReplacementAction SystemExtensionManager::actionForReplacingExtension(
    const std::string& existingVersion, const std::string& newVersion) {
    log("Replacing extension version " + existingVersion + " with " + newVersion);
    return ReplacementAction::replace;
}

void SystemExtensionManager::requestNeedsUserApproval() {
    statusMessage_ = approvalText;
    changed();
}

void SystemExtensionManager::didFinishWithResult(ExtensionRequestResult result) {
    statusMessage_ = result == ExtensionRequestResult::completed                 ? completedText
                     : result == ExtensionRequestResult::willCompleteAfterReboot ? afterRebootText
                                                                                 : finishedText;
    log("Request finished with result: " + std::to_string(static_cast<long>(result)));
    isBusy_ = false;
    changed();
    refreshStatus();
}

void SystemExtensionManager::didFailWithError(const std::string& localizedDescription) {
    log("Request failed: " + localizedDescription);
    statusMessage_ = "Failed: " + localizedDescription;
    isBusy_ = false;
    changed();
}

void SystemExtensionManager::foundProperties(const std::vector<ExtensionProperties>& properties) {
    propertiesRequest_ = false;
    isActivated_ = std::any_of(properties.begin(), properties.end(),
                               [](const auto& p) { return p.isEnabled && !p.isUninstalling; });
    if (isActivated_)
        statusMessage_ = activeText;
    else if (std::any_of(properties.begin(), properties.end(),
                         [](const auto& p) { return p.isAwaitingUserApproval; }))
        statusMessage_ = awaitingText;
    else
        statusMessage_ = notActiveText;
    changed();
}

}  // namespace vl
