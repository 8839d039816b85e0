// platform/extensions/fake: requests are recorded; the test answers them through the delegate of
// the latest request.
#pragma once

#include "platform/extensions/Interface.h"

namespace vl {

class FakeExtensionManager final : public ExtensionManager {
  public:
    enum class Kind { activation, deactivation, properties };
    struct Request {
        Kind kind;
        std::string identifier;
        std::weak_ptr<ExtensionRequestDelegate> delegate;
    };

    void submitActivationRequest(const std::string& identifier,
                                 std::weak_ptr<ExtensionRequestDelegate> delegate) override {
        requests.push_back({Kind::activation, identifier, std::move(delegate)});
    }
    void submitDeactivationRequest(const std::string& identifier,
                                   std::weak_ptr<ExtensionRequestDelegate> delegate) override {
        requests.push_back({Kind::deactivation, identifier, std::move(delegate)});
    }
    void submitPropertiesRequest(const std::string& identifier,
                                 std::weak_ptr<ExtensionRequestDelegate> delegate) override {
        requests.push_back({Kind::properties, identifier, std::move(delegate)});
    }

    std::shared_ptr<ExtensionRequestDelegate> lastDelegate() const {
        return requests.empty() ? nullptr : requests.back().delegate.lock();
    }

    std::vector<Request> requests;
};

}  // namespace vl
