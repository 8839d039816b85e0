// platform/discovery/avahi: publication and browsing through the Avahi daemon on the system bus.
#pragma once

#include "platform/discovery/Interface.h"

namespace vl {

class AvahiDiscovery final : public DiscoveryService {
  public:
    std::unique_ptr<PublishedService> makeService(ServiceRecord record,
                                                  PublicationDelegate delegate) override;
    std::optional<std::vector<DiscoveredService>> browse(const std::string& type,
                                                         std::chrono::milliseconds duration,
                                                         std::string* error) override;
};

}  // namespace vl
