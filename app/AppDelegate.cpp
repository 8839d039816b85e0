#include "app/AppDelegate.h"

#include "app/SystemInfo.h"
#include "base/DispatchQueue.h"
#include "base/Log.h"
#include "comm/ControlRecords.h"
#include "comm/ControlServer.h"
#include "platform/defaults/Interface.h"

namespace vl {

AppDelegate::AppDelegate(Hooks hooks, std::shared_ptr<SystemInfo> system)
    : hooks_(std::move(hooks)), system_(std::move(system)) {}

AppDelegate::~AppDelegate() {
    dropNotifications();
}

void AppDelegate::applicationWillFinishLaunching() {
    enableOpenAtLogin();
    if (hooks_.prepareServices) hooks_.prepareServices();
}

void AppDelegate::applicationDidFinishLaunching() {
    setIconAsConnected(false);
    auto stored = system_->defaults().string(SystemInfoKeys::machinename);
    if (!stored || stored->empty())
        system_->defaults().set(SystemInfoKeys::machinename, system_->machineName());
    loadLog();
    setupNotifications();
    if (hooks_.startServices) hooks_.startServices();
}

void AppDelegate::applicationWillTerminate() {
    if (hooks_.stopServices) hooks_.stopServices();
    dropNotifications();
    if (hooks_.cleanupServices) hooks_.cleanupServices();
    saveLog();
}

void AppDelegate::enableOpenAtLogin() {
    if (!hooks_.enableOpenAtLogin) return;
    if (auto error = hooks_.enableOpenAtLogin())
        logMsg("Failed to enable Open at Login: " + *error, LogLevel::error);
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
            logMsg("Client connected: " + request->clientDeviceName + " (" +
                   request->clientDeviceID + ")");
            self->addLogItem(request->clientDeviceName, request->clientDeviceID);
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
    logMsg(connected ? "Status: client connected" : "Status: idle");
    std::function<void(bool)> hook;
    {
        std::lock_guard lock(mutex_);
        hook = hooks_.iconChanged;
    }
    if (hook) DispatchQueue::main().async([hook, connected] { hook(connected); });
}

void AppDelegate::setStatusHooks(std::function<void(bool connected)> iconChanged,
                                 std::function<void(const LogItem& added)> logChanged) {
    std::lock_guard lock(mutex_);
    hooks_.iconChanged = std::move(iconChanged);
    hooks_.logChanged = std::move(logChanged);
}

bool AppDelegate::isBlocked(const std::string& deviceID) const {
    return log_.isBlocked(deviceID);
}

void AppDelegate::addLogItem(const std::string& description, const std::string& deviceId) {
    LogItem item = log_.add(description, deviceId);
    NotificationCenter::defaultCenter().post(addClientInfoStrNotification, item);
    std::function<void(const LogItem&)> hook;
    {
        std::lock_guard lock(mutex_);
        hook = hooks_.logChanged;
    }
    if (hook) DispatchQueue::main().async([hook, item] { hook(item); });
}

void AppDelegate::loadLog() {
    log_.load(system_->defaults());
}

void AppDelegate::saveLog() {
    log_.save(system_->defaults());
}

bool AppDelegate::iconConnected() const {
    std::lock_guard lock(mutex_);
    return iconConnected_;
}

}  // namespace vl
