// comm: what the control server needs of the application shell — the connected client's device.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace vl {

class AppShell {
public:
    virtual ~AppShell() = default;
    virtual std::optional<std::string> currentConnectedClient() const = 0;
    virtual void setCurrentConnectedClient(std::optional<std::string> deviceID) = 0;
};

// The shell of this process (the application delegate); tests install their own.
std::shared_ptr<AppShell> getApp();
void setApp(std::shared_ptr<AppShell> app);

}  // namespace vl
