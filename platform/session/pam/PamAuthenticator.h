// platform/session/pam: the user's account password checked through a PAM service.
#pragma once

#include "platform/session/Interface.h"

#include <filesystem>

namespace vl {

class PamAuthenticator final : public UserAuthenticator {
  public:
    // Our own service where it is installed, else the system's "login" stack.
    static constexpr const char* ownService = "vantrel-link";
    static constexpr const char* fallbackService = "login";

    // `user` empty: the process's user. `configDir` set: services are read there instead of the
    // system's folders (tests).
    explicit PamAuthenticator(std::string user = {},
                              std::optional<std::filesystem::path> configDir = std::nullopt);

    bool canEvaluate() const override;
    std::optional<std::string> authenticate(const std::string& secret) override;

    // The service used, or nothing when none is configured.
    std::optional<std::string> service() const;
    const std::string& user() const { return user_; }

  private:
    std::string user_;
    std::optional<std::filesystem::path> configDir_;
};

}  // namespace vl
