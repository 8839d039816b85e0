#include "app/AppDelegate.h"

#include "app/SystemInfo.h"
#include "comm/ControlRecords.h"
#include "comm/ControlServer.h"
#include "platform/defaults/Interface.h"

namespace vl {

AppDelegate::AppDelegate(Hooks hooks) : hooks_(std::move(hooks)) {}

AppDelegate::~AppDelegate() {
    dropNotifications();
}

void AppDelegate::applicationWillFinishLaunching() {
    enableOpenAtLogin();
    if (hooks_.prepareServices) hooks_.prepareServices();
}

void AppDelegate::applicationDidFinishLaunching() {
    setIconAsConnected(false);
    auto stored = SystemInfo::defaults().string(SystemInfoKeys::machinename);
    if (!stored || stored->empty())
        SystemInfo::defaults().set(SystemInfoKeys::machinename, SystemInfo::machineName());
    setupNotifications();
    if (hooks_.startServices) hooks_.startServices();
}

void AppDelegate::applicationWillTerminate() {
    if (hooks_.stopServices) hooks_.stopServices();
    dropNotifications();
    if (hooks_.cleanupServices) hooks_.cleanupServices();
}

void AppDelegate::enableOpenAtLogin() {
    if (!hooks_.enableOpenAtLogin) return;
    if (auto error = hooks_.enableOpenAtLogin())
        SystemInfo::logMsg("Failed to enable Open at Login: " + *error, LogLevel::error);
}

void AppDelegate::setupNotifications() {
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    auto& center = NotificationCenter::defaultCenter();
    std::lock_guard lock(mutex_);
    cancellables_.push_back(
        center.addObserver(clientConnectNotification, [weak](const std::any& object) {
            auto self = weak.lock();
            const auto* request = std::any_cast<ConnectReq>(&object);
            if (!self || !request) return;
            self->setCurrentConnectedClient(request->clientDeviceID);
            self->setIconAsConnected(true);
            SystemInfo::logMsg("Client connected: " + request->clientDeviceName + " (" +
                               request->clientDeviceID + ")");
        }));
    cancellables_.push_back(
        center.addObserver(clientDisconnectNotification, [weak](const std::any&) {
            if (auto self = weak.lock()) self->setIconAsConnected(false);
        }));
}

void AppDelegate::dropNotifications() {
    std::vector<NotificationCenter::Token> tokens;
    {
        std::lock_guard lock(mutex_);
        tokens.swap(cancellables_);
    }
    for (auto token : tokens) NotificationCenter::defaultCenter().removeObserver(token);
}

std::optional<std::string> AppDelegate::currentConnectedClient() const {
    std::lock_guard lock(mutex_);
    return currentConnectedClient_;
}

void AppDelegate::setCurrentConnectedClient(std::optional<std::string> deviceID) {
    std::lock_guard lock(mutex_);
    currentConnectedClient_ = std::move(deviceID);
}

void AppDelegate::setIconAsConnected(bool connected) {
    {
        std::lock_guard lock(mutex_);
        if (iconConnected_ == connected) return;
        iconConnected_ = connected;
    }
    SystemInfo::logMsg(connected ? "Status: client connected" : "Status: idle");
}

bool AppDelegate::iconConnected() const {
    std::lock_guard lock(mutex_);
    return iconConnected_;
}

}  // namespace vl
