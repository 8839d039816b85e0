#include "platform/mutter/MutterDisplayConfig.h"

#include <cstring>

namespace vl {

namespace {

constexpr const char* displayConfigName = "org.gnome.Mutter.DisplayConfig";
constexpr const char* displayConfigPath = "/org/gnome/Mutter/DisplayConfig";

struct MonitorSpec {
    std::string connector, vendor, product, serial;
};

int readSpec(sd_bus_message* m, MonitorSpec& spec) {
    const char *connector, *vendor, *product, *serial;
    int r = sd_bus_message_read(m, "(ssss)", &connector, &vendor, &product, &serial);
    if (r > 0) spec = {connector, vendor, product, serial};
    return r;
}

// Walks an a{sv}, handing each key to `entry`, which reads its variant or returns false to
// have it skipped.
template <typename Entry>
int readProperties(sd_bus_message* m, Entry&& entry) {
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* key = nullptr;
        if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
        const char* contents = nullptr;
        if ((r = sd_bus_message_peek_type(m, nullptr, &contents)) < 0) return r;
        if ((r = sd_bus_message_enter_container(m, 'v', contents)) < 0) return r;
        if (!entry(key, contents)) {
            if ((r = sd_bus_message_skip(m, contents)) < 0) return r;
        }
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

int readMonitors(sd_bus_message* m, std::vector<MutterMonitor>& monitors) {
    int r = sd_bus_message_enter_container(m, 'a', "((ssss)a(siiddada{sv})a{sv})");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'r', "(ssss)a(siiddada{sv})a{sv}")) > 0) {
        MonitorSpec spec;
        if ((r = readSpec(m, spec)) < 0) return r;
        MutterMonitor monitor;
        monitor.connector = spec.connector;
        monitor.vendor = spec.vendor;
        monitor.product = spec.product;
        monitor.serial = spec.serial;
        if ((r = sd_bus_message_enter_container(m, 'a', "(siiddada{sv})")) < 0) return r;
        while ((r = sd_bus_message_enter_container(m, 'r', "siiddada{sv}")) > 0) {
            const char* id = nullptr;
            int width = 0, height = 0;
            double refresh = 0, preferredScale = 0;
            if ((r = sd_bus_message_read(m, "siidd", &id, &width, &height, &refresh,
                                         &preferredScale)) < 0)
                return r;
            if ((r = sd_bus_message_skip(m, "ad")) < 0) return r;
            bool current = false;
            r = readProperties(m, [&](const char* key, const char* type) {
                if (std::strcmp(key, "is-current") != 0 || std::strcmp(type, "b") != 0)
                    return false;
                int value = 0;
                sd_bus_message_read(m, "b", &value);
                current = value != 0;
                return true;
            });
            if (r < 0) return r;
            if (current) {
                monitor.width = width;
                monitor.height = height;
                monitor.refreshRate = refresh;
            }
            if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        }
        if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
        r = readProperties(m, [&](const char* key, const char* type) {
            if (std::strcmp(key, "display-name") != 0 || std::strcmp(type, "s") != 0) return false;
            const char* name = nullptr;
            if (sd_bus_message_read(m, "s", &name) > 0 && name) monitor.displayName = name;
            return true;
        });
        if (r < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        monitors.push_back(std::move(monitor));
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

int readLogicalMonitors(sd_bus_message* m, std::vector<MutterMonitor>& monitors) {
    int r = sd_bus_message_enter_container(m, 'a', "(iiduba(ssss)a{sv})");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'r', "iiduba(ssss)a{sv}")) > 0) {
        int x = 0, y = 0, primary = 0;
        double scale = 0;
        std::uint32_t transform = 0;
        if ((r = sd_bus_message_read(m, "iidub", &x, &y, &scale, &transform, &primary)) < 0)
            return r;
        if ((r = sd_bus_message_enter_container(m, 'a', "(ssss)")) < 0) return r;
        MonitorSpec spec;
        while ((r = readSpec(m, spec)) > 0) {
            for (auto& monitor : monitors)
                if (monitor.connector == spec.connector) {
                    monitor.x = x;
                    monitor.y = y;
                    monitor.primary = primary != 0;
                }
        }
        if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
        if ((r = sd_bus_message_skip(m, "a{sv}")) < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

}  // namespace

const MutterMonitor* MutterDisplayState::monitor(const std::string& connector) const {
    for (const auto& candidate : monitors)
        if (candidate.connector == connector) return &candidate;
    return nullptr;
}

std::optional<MutterDisplayState> currentDisplayState(MutterBus& bus, std::string* error) {
    std::string problem;
    auto state = bus.withBus([&](sd_bus* connection) -> std::optional<MutterDisplayState> {
        sd_bus_error callError = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int r = sd_bus_call_method(connection, displayConfigName, displayConfigPath,
                                   displayConfigName, "GetCurrentState", &callError, &reply, "");
        if (r < 0) {
            problem = std::string("GetCurrentState: ") +
                      (callError.message ? callError.message : std::strerror(-r));
            sd_bus_error_free(&callError);
            return std::nullopt;
        }
        MutterDisplayState result;
        r = sd_bus_message_read(reply, "u", &result.serial);
        if (r >= 0) r = readMonitors(reply, result.monitors);
        if (r >= 0) r = readLogicalMonitors(reply, result.monitors);
        sd_bus_message_unref(reply);
        if (r < 0) {
            problem = std::string("GetCurrentState's answer: ") + std::strerror(-r);
            return std::nullopt;
        }
        return result;
    });
    if (!state && error) *error = problem;
    return state;
}

}  // namespace vl
