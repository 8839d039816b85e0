// platform/extensions/systemd: the camera daemon as a systemd user unit. Activation installs the
// unit file (shipped with the installer), reloads the user manager, enables the unit and starts
// it; deactivation stops and disables it; the properties are the unit file's state and the unit's
// active state. All over org.freedesktop.systemd1 on the user's bus, on a worker thread; answers
// are handed to `deliver` (the installer's UI thread).
#pragma once

#include "platform/extensions/Interface.h"

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace vl {

class SystemdExtensionManager final : public ExtensionManager {
  public:
    struct Options {
        std::string unitName = "lensway.service";
        std::string unitFileText;             // installed on activation; carries "# Version: X"
        std::filesystem::path unitDirectory;  // default: $XDG_CONFIG_HOME/systemd/user
        std::string busAddress;               // default: the user's bus
        std::function<void(std::function<void()>)> deliver;  // default: on the worker thread
    };

    explicit SystemdExtensionManager(Options options);
    ~SystemdExtensionManager() override;

    void submitActivationRequest(const std::string& identifier,
                                 std::weak_ptr<ExtensionRequestDelegate> delegate) override;
    void submitDeactivationRequest(const std::string& identifier,
                                   std::weak_ptr<ExtensionRequestDelegate> delegate) override;
    void submitPropertiesRequest(const std::string& identifier,
                                 std::weak_ptr<ExtensionRequestDelegate> delegate) override;

    // "# Version: X" of a unit file's text; empty without one.
    static std::string versionOf(const std::string& unitFileText);

  private:
    enum class Kind { activate, deactivate, properties };
    void submit(Kind kind, std::weak_ptr<ExtensionRequestDelegate> delegate);
    void run();
    void perform(Kind kind, const std::weak_ptr<ExtensionRequestDelegate>& delegate);
    void deliver(std::function<void()> block);

    Options options_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<Kind, std::weak_ptr<ExtensionRequestDelegate>>> jobs_;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace vl
