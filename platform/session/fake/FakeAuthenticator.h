// platform/session/fake: an authenticator with a known password, or none available.
#pragma once

#include "platform/session/Interface.h"

#include <atomic>

namespace vl {

class FakeAuthenticator final : public UserAuthenticator {
  public:
    explicit FakeAuthenticator(std::optional<std::string> password)
        : password_(std::move(password)) {}
    bool canEvaluate() const override { return password_.has_value(); }
    std::optional<std::string> authenticate(const std::string& secret) override {
        ++attempts;
        if (password_ && secret == *password_) return std::nullopt;
        return "Authentication failure";
    }
    std::atomic<int> attempts{0};

  private:
    std::optional<std::string> password_;
};

}  // namespace vl
