// platform/session: the user's login session — starting the program at login, and proving the
// person at the desktop is its user.
#pragma once

#include <optional>
#include <string>

namespace vl {

class LoginItem {
  public:
    virtual ~LoginItem() = default;
    virtual bool isEnabled() const = 0;
    // Nothing on success, else the reason.
    virtual std::optional<std::string> enable() = 0;
};

// Authenticates the desktop's user by their account password.
class UserAuthenticator {
  public:
    virtual ~UserAuthenticator() = default;
    // Whether an account password can be checked here at all.
    virtual bool canEvaluate() const = 0;
    // Nothing when `secret` is the user's password, else the reason. May take seconds (failed
    // attempts are delayed): call it off the main queue.
    virtual std::optional<std::string> authenticate(const std::string& secret) = 0;
};

}  // namespace vl
