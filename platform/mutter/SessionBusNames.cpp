#include "platform/mutter/SessionBusNames.h"

#include "platform/mutter/MutterBus.h"

#include <systemd/sd-bus.h>

namespace vl {

std::optional<std::set<std::string>> sessionBusNames(const std::string& address) {
    sd_bus* bus = openSessionBus(address);
    if (!bus) return std::nullopt;
    char** names = nullptr;
    std::optional<std::set<std::string>> result;
    if (sd_bus_list_names(bus, &names, nullptr) >= 0) {
        result.emplace();
        for (char** name = names; name && *name; ++name) {
            result->insert(*name);
            free(*name);
        }
        free(names);
    }
    sd_bus_flush_close_unref(bus);
    return result;
}

}  // namespace vl
