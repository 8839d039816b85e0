// Lensway tests: a media session of the test's own — a fresh runtime folder (mode 0700), a private
// session bus, PipeWire and WirePlumber — every process started here and stopped by its id.
#pragma once

#include "base/testing/CommandOutput.h"
#include "platform/desktop/ChildProcess.h"
#include "platform/notify/testing/PrivateSessionBus.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace vl::testing {

class PrivateMediaSession {
  public:
    // Sets this process's XDG_RUNTIME_DIR, PIPEWIRE_RUNTIME_DIR and DBUS_SESSION_BUS_ADDRESS to the
    // session's, so tools run from here (pw-cli, gst-launch-1.0) find it. None when a part fails.
    static std::unique_ptr<PrivateMediaSession> start() {
        std::unique_ptr<PrivateMediaSession> session(new PrivateMediaSession);
        char folder[] = "/tmp/lensway-test-XXXXXX";
        if (!::mkdtemp(folder)) return nullptr;
        ::chmod(folder, 0700);
        session->runtime_ = folder;
        session->bus_ = PrivateSessionBus::start();
        if (!session->bus_) return nullptr;
        ::setenv("XDG_RUNTIME_DIR", folder, 1);
        ::setenv("PIPEWIRE_RUNTIME_DIR", folder, 1);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", session->bus_->address().c_str(), 1);
        session->pipewire_ = session->spawn({"pipewire"}, "pipewire.log");
        if (!session->pipewire_ || !session->waitFor("pw-cli info 0", "PipeWire")) return nullptr;
        session->wireplumber_ = session->spawn({"wireplumber"}, "wireplumber.log");
        if (!session->wireplumber_ || !session->waitFor("wpctl status", "Video")) return nullptr;
        return session;
    }

    ~PrivateMediaSession() {
        for (auto* process : {&wireplumber_, &pipewire_})
            if (*process) process->reset();
        bus_.reset();
        std::error_code ignored;
        if (!runtime_.empty()) std::filesystem::remove_all(runtime_, ignored);
    }

    const std::filesystem::path& runtimeFolder() const { return runtime_; }
    const std::string& busAddress() const { return bus_->address(); }

    // A program in the session's environment, its output in the runtime folder.
    std::optional<ChildProcess> spawn(std::vector<std::string> arguments, const std::string& log) {
        ChildProcess::Spawn spawn;
        spawn.arguments = std::move(arguments);
        spawn.logFile = (runtime_ / log).string();
        for (const char* name : {"PATH", "HOME", "XDG_RUNTIME_DIR", "PIPEWIRE_RUNTIME_DIR",
                                 "DBUS_SESSION_BUS_ADDRESS", "LANG"})
            if (const char* value = std::getenv(name))
                spawn.environment.push_back(std::string(name) + "=" + value);
        // WirePlumber keeps state; it stays in the runtime folder, away from the home folder.
        spawn.environment.push_back("XDG_STATE_HOME=" + (runtime_ / "state").string());
        spawn.environment.push_back("XDG_CONFIG_HOME=" + (runtime_ / "config").string());
        return ChildProcess::start(spawn);
    }

    // The output of a command run in the session's environment.
    static std::string output(const std::string& command) {
        return vl::testing::commandOutput(command + " 2>/dev/null");
    }

    // Waits until the command's output contains the text.
    bool waitFor(const std::string& command, const std::string& text, int attempts = 50) {
        for (int i = 0; i < attempts; ++i) {
            if (output(command).find(text) != std::string::npos) return true;
            ::usleep(100000);
        }
        return false;
    }

  private:
    PrivateMediaSession() = default;
    std::filesystem::path runtime_;
    std::optional<PrivateSessionBus> bus_;
    std::optional<ChildProcess> pipewire_;
    std::optional<ChildProcess> wireplumber_;
};

}  // namespace vl::testing
