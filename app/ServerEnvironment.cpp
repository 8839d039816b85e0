#include "app/ServerEnvironment.h"

#include "Capture/VNSCapture.h"
#include "app/AppDelegate.h"
#include "app/DesktopBackendSelection.h"
#include "app/MicHostSupervisor.h"
#include "app/SettingsSchema.h"
#include "app/SystemInfo.h"
#include "base/Log.h"
#include "comm/CameraRelay.h"
#include "comm/KeychainIdentityManager.h"
#include "comm/MicrophoneRelay.h"
#include "comm/SessionEnvironment.h"
#include "comm/SystemAudioRelay.h"
#include "input/InputService.h"
#include "input/WindowPointerTargets.h"
#include "input/clipboard/ClipboardSyncService.h"
#include "libPhantomScreen/Platform.h"
#include "libPhantomScreen/platform/mutter/MutterVirtualDisplays.h"
#include "phantomScreen/DisplayArrangement.h"
#include "phantomScreen/PhantomScreenInf.h"
#include "phantomScreen/PhantomScreenService.h"
#include "platform/accessibility/atspi/AtspiAccessibility.h"
#include "platform/audio/AudioObjectSystem.h"
#include "platform/audio/micdevice/MicDeviceProvider.h"
#include "platform/audio/pulse/PulseAudioProvider.h"
#include "platform/audio/pulse/PulseAudioServer.h"
#include "platform/cameradevices/lensway/LenswayCameraDevices.h"
#include "platform/capture/mutter/MutterCaptureService.h"
#include "platform/capture/x11/X11CaptureService.h"
#include "platform/defaults/json/JsonFileDefaults.h"
#include "platform/desktop/HeadlessDesktop.h"
#include "platform/desktop/SessionBus.h"
#include "platform/discovery/avahi/AvahiDiscovery.h"
#include "platform/display/mutter/MutterDisplayService.h"
#include "platform/display/x11/X11DisplayService.h"
#include "platform/events/dbus/DbusInputMethodState.h"
#include "platform/events/mutter/MutterEventsService.h"
#include "platform/events/x11/X11EventsService.h"
#include "platform/host/linux/LinuxHostFacts.h"
#include "platform/localsocket/LocalSocket.h"
#include "platform/mutter/MutterBus.h"
#include "platform/mutter/MutterVirtualMonitor.h"
#include "platform/notify/sdbus/SdBusNotifyCenter.h"
#include "platform/pasteboard/mutter/MutterPasteboard.h"
#include "platform/pasteboard/x11/X11Pasteboard.h"
#include "platform/pathmonitor/netlink/NetlinkPathMonitor.h"
#include "platform/power/UnavailablePower.h"
#include "platform/power/gnome/GnomeSessionPower.h"
#include "platform/power/x11/X11Power.h"
#include "platform/security/file/FileKeychain.h"
#include "platform/session/xdg/XdgAutostartLoginItem.h"
#include "platform/videocodec/vaapi/VaapiCompressionSession.h"
#include "platform/videocodec/x265/X265VideoCodecService.h"
#include "platform/windows/gnomeshell/GnomeShellInput.h"
#include "platform/windows/gnomeshell/GnomeShellWindowService.h"
#include "platform/windows/x11/X11WindowService.h"
#include "windowsmgmt/WindowManagementRole.h"
#include "workers/ControlRequestService.h"
#include "workers/ServicesHub.h"

#include <cstdlib>

#include <unistd.h>

namespace vl {

namespace {

void report(const std::string& text) {
    logMsg(text, LogLevel::warning);
}

// Setting "commandkey" (control or super): what the client's Command key acts as.
CommandKey commandKeySetting(const DefaultsStore& defaults) {
    return *commandKeyFromText(choiceSetting(defaults, "commandkey", report));
}

// The client's pointer, keys and scroll on this X display. Setting "scrollpixelsperclick": the
// wheel click size.
std::shared_ptr<InputInjection> makeInputService(const DefaultsStore& defaults,
                                                 std::shared_ptr<DisplayService> displays,
                                                 std::shared_ptr<PhantomScreenService> screens,
                                                 std::shared_ptr<VNSWindowManager> windows) {
    X11EventsService::Options options;
    options.commandKey = commandKeySetting(defaults);
    options.pixelsPerWheelClick = numberSetting(defaults, "scrollpixelsperclick", report);
    std::shared_ptr<EventsService> events = X11EventsService::open(options);
    if (!events) {
        report("No XTest on the X display: the client's input is not replayed");
        return nullptr;
    }
    InputService::Services services;
    services.queue = &DispatchQueue::main();
    services.events = std::move(events);
    services.displays = std::move(displays);
    auto windowList = std::make_shared<X11WindowService>(std::string{}, report);
    // Scroll thumbs and dividers inside windows are found where the accessibility bus runs.
    // "accessibilitytimeoutms" lets a slow machine wait longer for applications' answers.
    AtspiAccessibility::Options accessibility{
        .windowAt = AtspiAccessibility::frontmostWindowIn(windowList), .report = report};
    accessibility.timeout =
        std::chrono::milliseconds(numberSetting(defaults, "accessibilitytimeoutms", report));
    services.targets = std::make_shared<WindowPointerTargets>(
        windowList, AtspiAccessibility::open(std::move(accessibility)));
    // Letters go as key codes while an input method composes them.
    services.imeInputSourceActive =
        [ime = std::make_shared<DbusInputMethodState>(DbusInputMethodState::Options{})] {
            return ime->imeInputSourceActive();
        };
    services.virtualDisplayIDs = [screens] { return screens->extraDisplayIDs(); };
    // A window dragged across a display edge follows onto that display.
    services.snapActiveWindowIfCrossedDisplay = [windows](bool movingRight) {
        return windows->snapActiveWindowIfCrossedDisplay(movingRight);
    };
    return InputService::make(std::move(services));
}

// The client's pointer, keys and scroll through the sessions of Mutter's virtual monitors. Windows
// are not found under the pointer on this desktop: plain events only.
std::shared_ptr<InputInjection> makeMutterInputService(
    std::shared_ptr<EventsService> events, std::shared_ptr<DisplayService> displays,
    std::shared_ptr<PhantomScreenService> screens, std::shared_ptr<VNSWindowManager> windows) {
    InputService::Services services;
    services.queue = &DispatchQueue::main();
    services.events = std::move(events);
    services.displays = std::move(displays);
    services.virtualDisplayIDs = [screens] { return screens->extraDisplayIDs(); };
    // With the shell's windows, a window dragged across a display edge follows onto that display.
    if (windows)
        services.snapActiveWindowIfCrossedDisplay = [windows](bool movingRight) {
            return windows->snapActiveWindowIfCrossedDisplay(movingRight);
        };
    return InputService::make(std::move(services));
}

// The client's camera into the `lensway` daemon's camera; its notifications travel on the session
// bus. Without a session bus there is no camera relay.
std::shared_ptr<CamRelay> makeCameraRelay(std::shared_ptr<ControlSettings> settings) {
    std::shared_ptr<NotifyCenter> notify = SdBusNotifyCenter::open();
    if (!notify) {
        report("No D-Bus session bus: the client's camera is not relayed");
        return nullptr;
    }
    CamServer::Services services{std::move(notify), std::make_shared<LenswayCameraDevices>()};
    return std::make_shared<CameraRelay>([settings] { return settings->tlsIdentity(); },
                                         std::move(services));
}

// The settings and identity the control server answers with, from the settings store and the
// keychain.
class SystemControlSettings final : public ControlSettings {
  public:
    explicit SystemControlSettings(std::shared_ptr<SystemInfo> system)
        : system_(std::move(system)) {}

    std::string password() override { return system_->password(); }
    std::string appUniqueID() override { return system_->appUniqueID(); }
    std::string machineName() override { return system_->machineName(); }
    std::optional<std::string> machineIPAddress() override { return system_->machineIPAddress(); }
    int controlPort() override { return system_->accessControlPort(); }
    std::optional<TlsIdentity> tlsIdentity() override {
        if (!system_->keychain()) return std::nullopt;
        return KeychainIdentityManager::getOrCreateIdentity(*system_->keychain());
    }

  private:
    const std::shared_ptr<SystemInfo> system_;
};

class SystemSleepControl final : public SleepControl {
  public:
    explicit SystemSleepControl(std::shared_ptr<SystemInfo> system) : system_(std::move(system)) {}
    void preventSystemSleepOrLock() override { system_->preventSystemSleepOrLock(); }
    void restoreSystemSleepOrLock() override { system_->restoreSystemSleepOrLock(); }

  private:
    const std::shared_ptr<SystemInfo> system_;
};

std::filesystem::path executablePath() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path("vantrel-link") : path;
}

}  // namespace

ServerEnvironment::ServerEnvironment(ServerOptions options)
    : options_(std::move(options)),
      configDir_(options_.configDir.value_or(configDirectory())),
      dataDir_(options_.dataDir.value_or(dataDirectory())) {}

ServerEnvironment::~ServerEnvironment() = default;

void ServerEnvironment::startDesktop() {
    backend_ = selectDesktopBackend(currentDesktopSessionFacts(), report);
    // GNOME on Wayland is the desktop; no X server of ours.
    if (backend_ == DesktopBackend::mutter) {
        if (options_.desktop) startSoundServer();
        return;
    }
    if (!options_.desktop) {
        haveDisplay_ =
            HeadlessDesktop::reachable(std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "");
        if (!haveDisplay_)
            report("No X display and the headless desktop is off: no virtual displays");
        return;
    }
    startSoundServer();
    startSessionBus();
    HeadlessDesktop::Options desktopOptions;
    desktopOptions.lightSession = true;
    // "desktopsession": the user's own session command (e.g. startxfce4) in place of ours. The
    // settings are not configured yet: read the one key from the store here.
    if (auto command =
            JsonFileDefaults(configDir_ / "defaults.json", report).string("desktopsession"))
        desktopOptions.sessionCommand = *command;
    // A session on a dead X server streams nothing; the client is told and may start again.
    desktopOptions.serverDied = [this] {
        report("The desktop's X server died: ending the session");
        endSession();
    };
    desktop_ = std::make_unique<HeadlessDesktop>(desktopOptions, report);
    if (auto running = desktop_->startIfNeeded()) {
        HeadlessDesktop::exportEnvironment(*running);
        haveDisplay_ = true;
        logMsg("Desktop on display " + running->display);
    }
}

// A desktop without a sound server gets ours; its applications (children of the desktop we start
// next) find it through PULSE_SERVER. Called while the process has no other threads.
void ServerEnvironment::startSoundServer() {
    if (PulseAudioServer::reachable({}, std::chrono::milliseconds(1000))) return;
    PulseAudioServer::Options options;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        options.runtimeDirectory = std::string(runtime) + "/vantrel-link-sound";
    options.restartWhenDied = true;
    soundServer_ = PulseAudioServer::start(options, report);
    if (soundServer_) setenv("PULSE_SERVER", soundServer_->address().c_str(), 1);
}

// A machine without a session bus gets ours, before the desktop starts: its applications publish
// their accessibility there, and the input method and the camera daemon are found there. Called
// while the process has no other threads.
void ServerEnvironment::startSessionBus() {
    if (SessionBus::configured()) return;
    std::filesystem::path folder;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        folder = std::filesystem::path(runtime) / "vantrel-link-bus";
    else
        folder = std::filesystem::temp_directory_path() /
                 ("vantrel-link-bus-" + std::to_string(::getuid()));
    if (auto problem = localsocket::preparePrivateFolder(folder)) {
        report("Session bus: " + *problem);
        return;
    }
    sessionBus_ = SessionBus::start({.directory = folder.string()}, report);
    if (sessionBus_) setenv("DBUS_SESSION_BUS_ADDRESS", sessionBus_->address().c_str(), 1);
}

void ServerEnvironment::configureSettingsOnly() {
    std::shared_ptr<PowerService> power;
    if (backend_ == DesktopBackend::mutter)
        power = std::make_shared<GnomeSessionPower>(std::string{}, report);
    else if (haveDisplay_)
        power = std::make_shared<X11Power>(std::string{}, report);
    else
        power = std::make_shared<UnavailablePower>(report);
    system_ = std::make_shared<SystemInfo>(SystemServices{
        std::make_shared<JsonFileDefaults>(configDir_ / "defaults.json", report),
        std::make_shared<FileKeychain>(dataDir_ / "keychain"),
        std::move(power),
        std::make_shared<LinuxHostFacts>(),
    });
}

void ServerEnvironment::configureServer() {
    std::error_code error;
    std::filesystem::create_directories(dataDir_, error);
    Logger::shared().setLogFile((dataDir_ / "vantrel-link.log").string());
    configureSettingsOnly();

    session_ = std::make_unique<SessionEnvironment>();
    session_->settings = std::make_shared<SystemControlSettings>(system_);
    session_->desktopQueue = &DispatchQueue::main();
    session_->power = std::make_shared<SystemSleepControl>(system_);
    // Sessions encode with the hardware tier where a render node exists, else x265.
    session_->codec = std::make_shared<X265VideoCodecService>(
        [](int width, int height, const EncoderRequirements& requirements) {
            return VaapiCompressionSession::create(width, height, requirements);
        });
    if (backend_ != DesktopBackend::mutter || !configureMutterDesktop()) configureX11Desktop();
    session_->displayArrangement = DisplayArrangement::make(*displays_, DispatchQueue::main());
    session_->virtualDisplays = virtualDisplays_;
    session_->camera = makeCameraRelay(session_->settings);
    // System audio: the sound server's devices (Corvane Audio among them) in one object space
    // that other device providers can join.
    audioHardware_ = std::make_shared<AudioObjectSystem>();
    audioHardware_->addProvider(PulseAudioProvider::create({}, report));
    audioRelay_ = SystemAudioRelay::make(ZuAudio(audioHardware_), [settings = session_->settings] {
        return settings->tlsIdentity();
    });
    session_->audio = audioRelay_;
    // The client's microphone into the virtual microphone, reached through its host, which is
    // kept running beside the server.
    audioHardware_->addProvider(std::make_shared<MicDeviceProvider>());
    if (auto host = MicHostSupervisor::findHost())
        micHost_ = std::make_unique<MicHostSupervisor>(
            *host, (dataDir_ / "corvane-mic-host.log").string(), report);
    else
        report("No corvane-mic-host: the client's microphone has no device to go to");
    session_->mic = std::make_shared<MicrophoneRelay>(
        [settings = session_->settings] { return settings->tlsIdentity(); }, audioHardware_,
        DispatchQueue::main());
    VNSCapture::logAvailableEncoders(*session_->codec);
}

// Sessions capture the X display; windows, input and the clipboard are the X server's.
void ServerEnvironment::configureX11Desktop() {
    displays_ = std::make_shared<X11DisplayService>(std::string{}, report);
    virtualDisplays_ = std::make_shared<PhantomScreenService>(
        std::make_shared<PhantomScreenInf>(*displays_, DispatchQueue::main()),
        DispatchQueue::global());
    session_->capture = std::make_shared<X11CaptureService>(std::string{}, report);
    auto windows = WindowManagementRole::make(
        displays_, std::make_shared<X11WindowService>(std::string{}, report),
        DispatchQueue::main());
    session_->windows = windows;
    if (haveDisplay_)
        session_->input = makeInputService(system_->defaults(), displays_, virtualDisplays_,
                                           windows->sharedManager());
    if (haveDisplay_)
        session_->clipboard =
            ClipboardSyncService::make(std::make_shared<X11Pasteboard>(std::string{}, report),
                                       *DispatchQueue::dedicated("ClipboardQueue"));
}

// GNOME on Wayland: virtual displays are Mutter's virtual monitors, made by the virtual display
// library on a platform of ours, so that capture (each monitor's own PipeWire consumer) and input
// (each monitor's remote-desktop session) find the monitors it made; the clipboard is a
// remote-desktop session's. False when Mutter's bus cannot be reached.
bool ServerEnvironment::configureMutterDesktop() {
    std::string error;
    auto bus = MutterBus::open({}, &error);
    if (!bus) {
        report("🟥 Mutter's session bus cannot be reached (" + error +
               "): the X11 backends run instead");
        return false;
    }
    mutterMonitors_ = std::make_shared<MutterMonitors>(std::move(bus));
    displays_ = std::make_shared<MutterDisplayService>(mutterMonitors_, report);
    // Windows are the shell's, through our extension; bare Mutter has no window interface.
    std::string windowsError;
    auto shellWindows =
        GnomeShellWindowService::connect(mutterMonitors_->bus(), report, &windowsError);
    MutterEventsService::Options eventOptions;
    eventOptions.commandIsSuper = commandKeySetting(system_->defaults()) == CommandKey::super;
    if (shellWindows) {
        auto shellInput = std::make_shared<GnomeShellInput>(mutterMonitors_->bus());
        eventOptions.pointer = [shellInput] { return shellInput->pointer(); };
        eventOptions.commitText = [shellInput](const std::string& text) {
            return shellInput->commitText(text);
        };
    }
    auto events = std::make_shared<MutterEventsService>(mutterMonitors_, std::move(eventOptions));
    auto platform = std::make_shared<ps::MutterVirtualDisplays>(
        mutterMonitors_, displays_, [events](DisplayPoint point) { events->warp(point); }, report);
    auto installInLibrary = [platform](const PhantomScreenInf::SymbolLookup& lookup) {
        auto install =
            reinterpret_cast<ps::InstallPlatformFunction>(lookup(ps::installPlatformExport));
        if (!install) {
            report(
                "🟥 The virtual display library cannot take Mutter's monitors: no virtual "
                "displays");
            return;
        }
        std::shared_ptr<ps::VirtualDisplayPlatform> shared = platform;
        install(&shared);
    };
    virtualDisplays_ = std::make_shared<PhantomScreenService>(
        std::make_shared<PhantomScreenInf>(*displays_, DispatchQueue::main(),
                                           PhantomScreenInf::libraryPath(),
                                           std::move(installInLibrary)),
        DispatchQueue::global());
    session_->capture = std::make_shared<MutterCaptureService>(mutterMonitors_, report);
    std::shared_ptr<VNSWindowManager> windowManager;
    if (shellWindows) {
        auto windows =
            WindowManagementRole::make(displays_, std::move(shellWindows), DispatchQueue::main());
        session_->windows = windows;
        windowManager = windows->sharedManager();
    } else {
        report("🟨 Windows cannot be moved on this desktop (" + windowsError +
               "): windows stay where they are during sessions");
    }
    session_->input = makeMutterInputService(events, displays_, virtualDisplays_, windowManager);
    session_->clipboard = ClipboardSyncService::make(
        std::make_shared<MutterPasteboard>(mutterMonitors_->bus(), report),
        *DispatchQueue::dedicated("ClipboardQueue"));
    return true;
}

std::shared_ptr<AppDelegate> ServerEnvironment::makeAppDelegate() {
    AppDelegate::Hooks hooks;
    hooks.prepareServices = [this] { hub_->prepareServices(); };
    hooks.cleanupServices = [this] { hub_->cleanupServices(); };
    hooks.startServices = [this] { hub_->startServices(); };
    hooks.stopServices = [this] {
        hub_->stopServices();
        hub_->waitUntilIdle();
    };
    if (options_.loginItem) {
        auto entry = configDirectory().parent_path() / "autostart" / "vantrel-link.desktop";
        auto item = std::make_shared<XdgAutostartLoginItem>(entry, executablePath().string());
        hooks.enableOpenAtLogin = [item] { return item->enable(); };
    }
    auto app = std::make_shared<AppDelegate>(std::move(hooks), system_);

    SessionEnvironment session = *session_;
    session.shell = app;
    std::lock_guard lock(controlMutex_);
    control_ = std::make_unique<ControlRequestService>(ControlRequestService::Environment{
        std::make_shared<AvahiDiscovery>(),
        [] { return std::make_unique<NetlinkPathMonitor>(); },
        std::move(session),
        options_.keepaliveInterval,
    });
    hub_ = std::make_unique<ServicesHub>(
        *control_, ServicesHub::VirtualDisplayHooks{
                       [displays = virtualDisplays_] { displays->initService(); },
                       [displays = virtualDisplays_] { displays->destroyService(); }});
    return app;
}

void ServerEnvironment::endSession() {
    std::lock_guard lock(controlMutex_);
    if (control_) control_->endSession();
}

void ServerEnvironment::shutdown() {
    {
        // Stopped and drained while the dispatch pool still runs.
        std::lock_guard lock(controlMutex_);
        hub_.reset();
        control_.reset();
    }
    if (audioRelay_) audioRelay_->shutdown();  // the default output back before we go
    session_.reset();
    virtualDisplays_.reset();  // unloads the library, whose displays go with it
    displays_.reset();
    mutterMonitors_.reset();
    if (desktop_) desktop_->stop();
    audioRelay_.reset();
    micHost_.reset();  // withdraws the device while the sound server still runs
    audioHardware_.reset();
    soundServer_.reset();
}

}  // namespace vl
