// platform/audio/testing: a sound server started for a test program, with a fresh runtime folder:
// PulseAudio, or PipeWire with WirePlumber and its pulse server on a private session bus. Every
// process is started here and stopped by its id when the object goes.
#pragma once

#include "base/testing/Eventually.h"
#include "platform/audio/pulse/PulseAudioServer.h"
#include "platform/desktop/ChildProcess.h"

#include <sys/stat.h>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vl::testing {

class TestSoundServer {
  public:
    virtual ~TestSoundServer() = default;
    // What PULSE_SERVER must say for clients to find it.
    virtual std::string address() const = 0;
};

class PulseTestServer final : public TestSoundServer {
  public:
    explicit PulseTestServer(std::string directory) : directory_(std::move(directory)) { start(); }
    ~PulseTestServer() override { stop(); }
    std::string address() const override { return "unix:" + directory_ + "/native"; }
    bool start() {
        server_ = PulseAudioServer::start({"pulseaudio", directory_});
        return server_ != nullptr;
    }
    void stop() { server_.reset(); }
    bool running() const { return server_ != nullptr; }

  private:
    std::string directory_;
    std::unique_ptr<PulseAudioServer> server_;
};

class PipeWireTestServer final : public TestSoundServer {
  public:
    explicit PipeWireTestServer(const std::string& directory) : directory_(directory) {
        using namespace std::chrono_literals;
        std::filesystem::create_directories(directory);
        chmod(directory.c_str(), 0700);
        const std::string bus = "unix:path=" + directory + "/bus";
        const std::vector<std::string> environment = {
            "PATH=/usr/bin:/bin", "HOME=" + directory, "XDG_RUNTIME_DIR=" + directory,
            "XDG_CONFIG_HOME=" + directory + "/config", "DBUS_SESSION_BUS_ADDRESS=" + bus};
        auto spawn = [&](std::vector<std::string> arguments, const std::string& log) {
            auto child =
                ChildProcess::start({std::move(arguments), environment, directory + "/" + log, -1});
            if (child) children_.push_back(std::move(*child));
        };
        spawn({"dbus-daemon", "--session", "--nofork", "--address=" + bus}, "dbus.log");
        eventually([&] { return std::filesystem::exists(directory + "/bus"); }, 5s, 10ms);
        spawn({"pipewire"}, "pipewire.log");
        eventually([&] { return std::filesystem::exists(directory + "/pipewire-0"); }, 5s, 10ms);
        spawn({"wireplumber"}, "wireplumber.log");
        spawn({"pipewire-pulse"}, "pipewire-pulse.log");
        eventually([&] { return PulseAudioServer::reachable(address(), 500ms); }, 10s, 20ms);
    }
    ~PipeWireTestServer() override {
        using namespace std::chrono_literals;
        // The clients first, the bus last.
        for (auto it = children_.rbegin(); it != children_.rend(); ++it) it->stop(2000ms);
    }
    std::string address() const override { return "unix:" + directory_ + "/pulse/native"; }

  private:
    std::string directory_;
    std::vector<ChildProcess> children_;
};

// "pipewire", or PulseAudio for anything else, its runtime folder `directory`.
inline std::unique_ptr<TestSoundServer> startTestSoundServer(const std::string& kind,
                                                             const std::string& directory) {
    if (kind == "pipewire") return std::make_unique<PipeWireTestServer>(directory);
    return std::make_unique<PulseTestServer>(directory);
}

}  // namespace vl::testing
