// platform/extensions: activating and removing the camera daemon as a system extension, and
// asking for its state. Answers come back through the request's delegate, on the thread the
// manager was given for them.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace vl {

enum class ExtensionRequestResult { completed, willCompleteAfterReboot, other };

// One installed version of the extension as the system reports it.
struct ExtensionProperties {
    std::string bundleVersion;
    bool isEnabled = false;
    bool isAwaitingUserApproval = false;
    bool isUninstalling = false;
};

enum class ReplacementAction { cancel, replace };

class ExtensionRequestDelegate {
  public:
    virtual ~ExtensionRequestDelegate() = default;
    virtual ReplacementAction actionForReplacingExtension(const std::string& existingVersion,
                                                          const std::string& newVersion) = 0;
    virtual void requestNeedsUserApproval() = 0;
    virtual void foundProperties(const std::vector<ExtensionProperties>& properties) = 0;
    virtual void didFinishWithResult(ExtensionRequestResult result) = 0;
    virtual void didFailWithError(const std::string& localizedDescription) = 0;
};

class ExtensionManager {
  public:
    virtual ~ExtensionManager() = default;
    virtual void submitActivationRequest(const std::string& identifier,
                                         std::weak_ptr<ExtensionRequestDelegate> delegate) = 0;
    virtual void submitDeactivationRequest(const std::string& identifier,
                                           std::weak_ptr<ExtensionRequestDelegate> delegate) = 0;
    virtual void submitPropertiesRequest(const std::string& identifier,
                                         std::weak_ptr<ExtensionRequestDelegate> delegate) = 0;
};

}  // namespace vl
