// platform/host: facts about the host — its name, its network interfaces, the user's folders.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vl {

struct NetworkInterface {
    std::string name;
    bool up = false;
    bool running = false;
    bool loopback = false;
    std::optional<std::string> ipv4;  // numeric text, e.g. "192.168.1.20"
};

class HostFacts {
  public:
    virtual ~HostFacts() = default;

    // The host's name for people; empty when it has none.
    virtual std::string localizedName() const = 0;
    // One entry per address, in the system's interface-list order; nothing when unreadable.
    virtual std::optional<std::vector<NetworkInterface>> interfaces() const = 0;
};

// $XDG_CONFIG_HOME/vantrel-link and $XDG_DATA_HOME/vantrel-link, with the usual fallbacks.
std::filesystem::path configDirectory();
std::filesystem::path dataDirectory();

}  // namespace vl
