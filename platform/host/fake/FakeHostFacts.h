// platform/host/fake: host facts set by the test.
#pragma once

#include "platform/host/Interface.h"

namespace vl {

class FakeHostFacts final : public HostFacts {
  public:
    std::string localizedName() const override { return name; }
    std::optional<std::vector<NetworkInterface>> interfaces() const override { return list; }

    std::string name = "testhost";
    std::optional<std::vector<NetworkInterface>> list = std::vector<NetworkInterface>{};
};

}  // namespace vl
