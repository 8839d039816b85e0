// platform/notify: system-wide named notifications between processes of the same user (the
// server and the camera daemon). A name carries no object and no payload; every observer of the
// name, in any process, is told, including the poster's own.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vl {

class NotifyCenter {
  public:
    using Token = std::uint64_t;
    // Called with the name that was posted, on the centre's own thread.
    using Handler = std::function<void(const std::string& name)>;

    virtual ~NotifyCenter() = default;

    // Delivered immediately; false when the centre could not send it.
    virtual bool post(const std::string& name) = 0;
    // None when the observation could not be set up.
    virtual std::optional<Token> addObserver(const std::string& name, Handler handler) = 0;
    // After this returns the handler is not called again (unless it is running on this thread).
    virtual void removeObserver(Token token) = 0;
};

}  // namespace vl
