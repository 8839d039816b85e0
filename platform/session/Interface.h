// platform/session: the user's login session — starting the program at login.
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

}  // namespace vl
