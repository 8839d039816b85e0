#include "comm/VNTmDnsServer.h"

#include "base/Log.h"

namespace vl {

VNTmDnsServer::VNTmDnsServer(DiscoveryService& discovery, std::string appUniqueID,
                             std::string quicHostName, std::string quicHostIP, int quicPort)
    : discovery_(discovery),
      appUniqueID_(std::move(appUniqueID)),
      quicHostName_(std::move(quicHostName)),
      quicHostIP_(std::move(quicHostIP)),
      quicPort_(quicPort) {}

VNTmDnsServer::~VNTmDnsServer() {
    stop();
}

std::string VNTmDnsServer::serviceName() const {
    return quicHostName_ + "@" + quicHostIP_ + ":" + std::to_string(quicPort_);
}

void VNTmDnsServer::start() {
    const std::string& appID = appUniqueID_;
    logMsg("Server id: " + appID);

    ServiceRecord record;
    record.domain = serviceDomain;
    record.type = serviceType;
    record.name = serviceName();
    record.port = broadcastPort;
    record.txt = {{"name", quicHostName_},
                  {"ip", quicHostIP_},
                  {"port", std::to_string(quicPort_)},
                  {"id", appID}};

    PublicationDelegate delegate;
    delegate.willPublish = [](const std::string& name) { logMsg("Will publish service: " + name); };
    delegate.didPublish = [](const std::string& name) { logMsg("Published service: " + name); };
    delegate.didNotPublish = [](const std::string& error) {
        logMsg("Failed to publish: " + error, LogLevel::error);
    };
    delegate.didStop = [] { logMsg("Service advertisement stopped"); };

    service_ = discovery_.makeService(std::move(record), std::move(delegate));
    service_->publish();
}

void VNTmDnsServer::stop() {
    if (service_) service_->stop();
    service_.reset();
}

}  // namespace vl
