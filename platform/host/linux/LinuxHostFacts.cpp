#include "platform/host/linux/LinuxHostFacts.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdlib>

namespace vl {

namespace {

std::filesystem::path xdgDirectory(const char* variable, const char* fallbackUnderHome) {
    if (const char* value = std::getenv(variable); value && *value == '/')
        return std::filesystem::path(value) / "vantrel-link";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/tmp") / fallbackUnderHome /
           "vantrel-link";
}

}  // namespace

std::filesystem::path configDirectory() {
    return xdgDirectory("XDG_CONFIG_HOME", ".config");
}
std::filesystem::path dataDirectory() {
    return xdgDirectory("XDG_DATA_HOME", ".local/share");
}

std::string LinuxHostFacts::localizedName() const {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

std::optional<std::vector<NetworkInterface>> LinuxHostFacts::interfaces() const {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return std::nullopt;
    std::vector<NetworkInterface> result;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        NetworkInterface item;
        item.name = entry->ifa_name ? entry->ifa_name : "";
        item.up = entry->ifa_flags & IFF_UP;
        item.running = entry->ifa_flags & IFF_RUNNING;
        item.loopback = entry->ifa_flags & IFF_LOOPBACK;
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET) {
            char text[INET_ADDRSTRLEN] = {};
            auto* address = reinterpret_cast<sockaddr_in*>(entry->ifa_addr);
            if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text)) item.ipv4 = text;
        }
        result.push_back(std::move(item));
    }
    ::freeifaddrs(list);
    return result;
}

}  // namespace vl
