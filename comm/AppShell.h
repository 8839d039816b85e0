// comm: what the control server needs of the application shell — the connected client's device.
#pragma once

#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace vl {

class AppShell {
  public:
    virtual ~AppShell() = default;
    virtual std::optional<std::string> currentConnectedClient() const = 0;
    virtual void setCurrentConnectedClient(std::optional<std::string> deviceID) = 0;
    // A device the user blocked in the connection log is refused at connect.
    virtual bool isBlocked(const std::string& /*deviceID*/) const { return false; }
};

// A shell that only remembers the connected device: where no application shell runs, the
// one-device rule still holds (a second device is refused, not admitted).
class BasicAppShell final : public AppShell {
  public:
    std::optional<std::string> currentConnectedClient() const override {
        std::lock_guard lock(mutex_);
        return client_;
    }
    void setCurrentConnectedClient(std::optional<std::string> deviceID) override {
        std::lock_guard lock(mutex_);
        client_ = std::move(deviceID);
    }
    bool isBlocked(const std::string& deviceID) const override {
        std::lock_guard lock(mutex_);
        return blocked_.contains(deviceID);
    }
    void setBlocked(const std::string& deviceID, bool blocked) {
        std::lock_guard lock(mutex_);
        if (blocked)
            blocked_.insert(deviceID);
        else
            blocked_.erase(deviceID);
    }

  private:
    mutable std::mutex mutex_;
    std::optional<std::string> client_;
    std::set<std::string> blocked_;
};

}  // namespace vl
