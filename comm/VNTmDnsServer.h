// comm: advertises the control server on the local network, with its real address and port in
// the service name and TXT record.
#pragma once

#include "platform/discovery/Interface.h"

#include <memory>
#include <string>

namespace vl {

class VNTmDnsServer {
  public:
    static constexpr const char* serviceDomain = "local.";
    static constexpr const char* serviceType = "_corvanevantrellink._tcp.";
    // The port given to the service record; clients read the control port from the name or TXT.
    static constexpr int broadcastPort = 5353;

    VNTmDnsServer(DiscoveryService& discovery, std::string appUniqueID, std::string quicHostName,
                  std::string quicHostIP, int quicPort);
    ~VNTmDnsServer();

    void start();
    void stop();

    // "<host>@<ip>:<port>"
    std::string serviceName() const;

    const std::string& quicHostName() const { return quicHostName_; }
    const std::string& quicHostIP() const { return quicHostIP_; }
    int quicPort() const { return quicPort_; }

  private:
    DiscoveryService& discovery_;
    std::unique_ptr<PublishedService> service_;
    std::string appUniqueID_;
    std::string quicHostName_;
    std::string quicHostIP_;
    int quicPort_;
};

}  // namespace vl
