// platform/host/linux: host name and interface list from the kernel.
#pragma once

#include "platform/host/Interface.h"

namespace vl {

class LinuxHostFacts final : public HostFacts {
  public:
    std::string localizedName() const override;
    std::optional<std::vector<NetworkInterface>> interfaces() const override;
};

}  // namespace vl
