// app: the composition root — picks the real platform services and wires them into the system.
#pragma once

#include "platform/mutter/DesktopBackendChoice.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

namespace vl {

class AppDelegate;
class SystemInfo;
class ControlRequestService;
class ServicesHub;
class AudioObjectSystem;
class MicHostSupervisor;
class PulseAudioServer;
class SessionBus;
class SystemAudioRelay;
class DisplayService;
class HeadlessDesktop;
class MutterMonitors;
class PhantomScreenService;
struct SessionEnvironment;

struct ServerOptions {
    std::optional<std::filesystem::path> configDir;  // default $XDG_CONFIG_HOME/vantrel-link
    std::optional<std::filesystem::path> dataDir;    // default $XDG_DATA_HOME/vantrel-link
    bool loginItem = true;
    // Shorter keepalive interval for tests; the default is the protocol's 30 s.
    std::optional<std::chrono::milliseconds> keepaliveInterval;
    // Start our own headless desktop when no X display is reachable.
    bool desktop = true;
};

class ServerEnvironment {
  public:
    explicit ServerEnvironment(ServerOptions options);
    ~ServerEnvironment();

    // The desktop the server works on: a GNOME Wayland session's Mutter, else the X display
    // $DISPLAY when reachable, else our own headless desktop. Call before configureServer, while
    // the process has no other threads.
    void startDesktop();
    // Settings and keychain only, for the config command.
    void configureSettingsOnly();
    // Everything the running server needs; the control service is wired to the delegate.
    void configureServer();
    // The application delegate, and the control service behind it.
    std::shared_ptr<AppDelegate> makeAppDelegate();
    // The settings and host facts; made by configureSettingsOnly.
    const std::shared_ptr<SystemInfo>& systemInfo() const { return system_; }
    // What the shell drives the services through; made with the delegate.
    ServicesHub& servicesHub() { return *hub_; }
    void shutdown();

    const std::filesystem::path& configDir() const { return configDir_; }
    const std::filesystem::path& dataDir() const { return dataDir_; }

  private:
    void startSoundServer();
    void startSessionBus();
    // The running control server's session ends (its desktop died); any thread.
    void endSession();
    void configureX11Desktop();
    bool configureMutterDesktop();

    ServerOptions options_;
    std::shared_ptr<SystemInfo> system_;
    std::filesystem::path configDir_;
    std::filesystem::path dataDir_;
    std::unique_ptr<SessionBus> sessionBus_;  // outlives the desktop whose programs use it
    std::unique_ptr<HeadlessDesktop> desktop_;
    std::shared_ptr<DisplayService> displays_;
    std::shared_ptr<PhantomScreenService> virtualDisplays_;
    std::unique_ptr<SessionEnvironment> session_;
    bool haveDisplay_ = false;
    DesktopBackend backend_ = DesktopBackend::x11;
    std::shared_ptr<MutterMonitors> mutterMonitors_;  // shared by display, capture and input
    std::unique_ptr<PulseAudioServer> soundServer_;
    std::unique_ptr<MicHostSupervisor> micHost_;
    std::shared_ptr<AudioObjectSystem> audioHardware_;
    std::shared_ptr<SystemAudioRelay> audioRelay_;
    std::mutex controlMutex_;  // control_ is made and dropped while the desktop may report
    std::unique_ptr<ControlRequestService> control_;
    std::unique_ptr<ServicesHub> hub_;
};

}  // namespace vl
