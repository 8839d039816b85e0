#include "workers/ControlRequestService.h"

#include "base/Log.h"

namespace vl {

namespace {

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

void ControlRequestService::endSession() {
    stateQueue_.async([this] {
        if (controlServer_) controlServer_->endSession();
    });
}

void ControlRequestService::start() {
    stateQueue_.async([this] {
        if (isRunning_) {
            logMsg("ControlRequestService is already running");
            return;
        }
        isRunning_ = true;
        lastKnownIPAddress_ = environment_.session.settings->machineIPAddress();
        startServer();
        startPathMonitor();
    });
}

void ControlRequestService::stop() {
    stateQueue_.async([this] {
        if (isRunning_) {
            isRunning_ = false;
            stopPathMonitor();
            stopServer(Ending::stop);
        } else {
            stopPathMonitor();
            controlServer_.reset();
            vntMDnsServer_.reset();
        }
        lastKnownIPAddress_.reset();
    });
}

void ControlRequestService::startServer() {
    stateQueue_.assertCurrent();
    int port = environment_.session.settings->controlPort();
    if (port < 0 || port > 65535) {
        logMsg("Failed to start servers: control port " + std::to_string(port) +
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
        logMsg(std::string("Failed to start servers: ") + error.what(), LogLevel::error);
        return;
    }
    ++serverStarts_;
    controlServer_ = std::move(server);
    startMDns(static_cast<std::uint16_t>(port));
}

void ControlRequestService::startMDns(std::uint16_t port) {
    stateQueue_.assertCurrent();
    auto address = environment_.session.settings->machineIPAddress();
    if (!address) {
        logMsg("No IPv4 address on this host; not advertising the control server");
        if (vntMDnsServer_) vntMDnsServer_->stop();
        vntMDnsServer_.reset();
        return;
    }
    const std::string hostName = environment_.session.settings->machineName();
    logMsg("Broadcasting servers: " + hostName + " " + *address + ":" + std::to_string(port));
    if (vntMDnsServer_) vntMDnsServer_->stop();
    vntMDnsServer_ = std::make_unique<VNTmDnsServer>(*environment_.discovery,
                                                     environment_.session.settings->appUniqueID(),
                                                     hostName, *address, port);
    vntMDnsServer_->start();
}

void ControlRequestService::startPathMonitor() {
    stateQueue_.assertCurrent();
    if (pathMonitor_ || !environment_.makePathMonitor) return;
    pathMonitor_ = environment_.makePathMonitor();
    pathMonitor_->setUpdateHandler([this] { stateQueue_.async([this] { pathUpdate(); }); });
    pathMonitor_->start(monitorQueue_);
}

void ControlRequestService::stopPathMonitor() {
    stateQueue_.assertCurrent();
    if (pathMonitor_) pathMonitor_->cancel();
    pathMonitor_.reset();
}

void ControlRequestService::pathUpdate() {
    stateQueue_.assertCurrent();
    if (!isRunning_) return;
    auto current = environment_.session.settings->machineIPAddress();
    if (current == lastKnownIPAddress_) return;
    logMsg("IP address changed from " + orNil(lastKnownIPAddress_) + " to " + orNil(current) +
           ", restarting control server");
    lastKnownIPAddress_ = current;
    stopServer(Ending::restart);
    startServer();
}

void ControlRequestService::stopServer(Ending ending) {
    stateQueue_.assertCurrent();
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
