#include "workers/ControlRequestService.h"

#include "app/SystemInfo.h"
#include "platform/defaults/Interface.h"

#include <mutex>

namespace vl {

namespace {

std::mutex sharedMutex;
std::unique_ptr<ControlRequestService> sharedService;

std::string orNil(const std::optional<std::string>& text) {
    return text ? *text : "nil";
}

}  // namespace

ControlRequestService::ControlRequestService(Environment environment)
    : environment_(std::move(environment)) {}

ControlRequestService::~ControlRequestService() {
    stop();
    waitUntilIdle();
}

ControlRequestService& ControlRequestService::shared() {
    std::lock_guard lock(sharedMutex);
    return *sharedService;
}

void ControlRequestService::configureShared(Environment environment) {
    std::lock_guard lock(sharedMutex);
    sharedService = std::make_unique<ControlRequestService>(std::move(environment));
}

void ControlRequestService::endSharedSession() {
    std::lock_guard lock(sharedMutex);
    if (!sharedService) return;
    sharedService->stateQueue_.async([service = sharedService.get()] {
        if (service->controlServer_) service->controlServer_->endSession();
    });
}

void ControlRequestService::shutdownShared() {
    std::unique_ptr<ControlRequestService> service;
    {
        std::lock_guard lock(sharedMutex);
        service = std::move(sharedService);
    }
    service.reset();  // stops and drains its queues
}

void ControlRequestService::start() {
    stateQueue_.async([this] {
        if (isRunning_) {
            SystemInfo::logMsg("ControlRequestService is already running");
            return;
        }
        isRunning_ = true;
        lastKnownIPAddress_ = SystemInfo::machineIPAddress();
        startServerLocked();
        startPathMonitorLocked();
    });
}

void ControlRequestService::stop() {
    stateQueue_.async([this] {
        if (isRunning_) {
            isRunning_ = false;
            stopPathMonitorLocked();
            stopServerLocked(Ending::stop);
        } else {
            stopPathMonitorLocked();
            controlServer_.reset();
            vntMDnsServer_.reset();
        }
        lastKnownIPAddress_.reset();
    });
}

void ControlRequestService::startServerLocked() {
    int port = SystemInfo::accessControlPort();
    if (port < 0 || port > 65535) {
        SystemInfo::logMsg("Failed to start servers: control port " + std::to_string(port) +
                               " is outside 0...65535",
                           LogLevel::error);
        return;
    }
    auto server = ControlServer::make(static_cast<std::uint16_t>(port),
                                      DispatchQueue::dedicated("ControlRequestQueue"),
                                      "ControlServer", environment_.session);
    if (environment_.keepaliveInterval)
        server->setKeepaliveInterval(*environment_.keepaliveInterval);
    try {
        server->start();
    } catch (const std::exception& error) {
        controlServer_.reset();
        SystemInfo::logMsg(std::string("Failed to start servers: ") + error.what(),
                           LogLevel::error);
        return;
    }
    ++serverStarts_;
    controlServer_ = std::move(server);
    startMDnsLocked(static_cast<std::uint16_t>(port));
}

void ControlRequestService::startMDnsLocked(std::uint16_t port) {
    auto address = SystemInfo::machineIPAddress();
    if (!address) {
        SystemInfo::logMsg("No IPv4 address on this host; not advertising the control server");
        if (vntMDnsServer_) vntMDnsServer_->stop();
        vntMDnsServer_.reset();
        return;
    }
    auto stored = SystemInfo::defaults().string(SystemInfoKeys::machinename);
    std::string hostName = stored && !stored->empty() ? *stored : SystemInfo::machineName();
    SystemInfo::logMsg("Broadcasting servers: " + hostName + " " + *address + ":" +
                       std::to_string(port));
    if (vntMDnsServer_) vntMDnsServer_->stop();
    vntMDnsServer_ = std::make_unique<VNTmDnsServer>(
        *environment_.discovery, SystemInfo::appUniqueID(), hostName, *address, port);
    vntMDnsServer_->start();
}

void ControlRequestService::startPathMonitorLocked() {
    if (pathMonitor_ || !environment_.makePathMonitor) return;
    pathMonitor_ = environment_.makePathMonitor();
    pathMonitor_->setUpdateHandler([this] { stateQueue_.async([this] { pathUpdate(); }); });
    pathMonitor_->start(monitorQueue_);
}

void ControlRequestService::stopPathMonitorLocked() {
    if (pathMonitor_) pathMonitor_->cancel();
    pathMonitor_.reset();
}

void ControlRequestService::pathUpdate() {
    if (!isRunning_) return;
    auto current = SystemInfo::machineIPAddress();
    if (current == lastKnownIPAddress_) return;
    SystemInfo::logMsg("IP address changed from " + orNil(lastKnownIPAddress_) + " to " +
                       orNil(current) + ", restarting control server");
    lastKnownIPAddress_ = current;
    stopServerLocked(Ending::restart);
    startServerLocked();
}

void ControlRequestService::stopServerLocked(Ending ending) {
    // A session of the server being replaced ends here: its displays and captures would
    // otherwise outlive it.
    if (controlServer_) {
        controlServer_->endSession();
        if (ending == Ending::stop) controlServer_->closeConnections();
        controlServer_->stop();
    }
    if (vntMDnsServer_) vntMDnsServer_->stop();
    controlServer_.reset();
    vntMDnsServer_.reset();
}

void ControlRequestService::waitUntilIdle() {
    // Work hops from the monitor queue to the state queue; drain both in that order.
    monitorQueue_.sync([] {});
    stateQueue_.sync([] {});
}

bool ControlRequestService::isRunning() {
    bool result = false;
    stateQueue_.sync([&] { result = isRunning_; });
    return result;
}

std::shared_ptr<ControlServer> ControlRequestService::controlServer() {
    std::shared_ptr<ControlServer> result;
    stateQueue_.sync([&] { result = controlServer_; });
    return result;
}

std::optional<std::string> ControlRequestService::lastKnownIPAddress() {
    std::optional<std::string> result;
    stateQueue_.sync([&] { result = lastKnownIPAddress_; });
    return result;
}

std::optional<std::string> ControlRequestService::advertisedName() {
    std::optional<std::string> result;
    stateQueue_.sync([&] {
        if (vntMDnsServer_) result = vntMDnsServer_->serviceName();
    });
    return result;
}

int ControlRequestService::serverStarts() {
    int result = 0;
    stateQueue_.sync([&] { result = serverStarts_; });
    return result;
}

}  // namespace vl
