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
            r = readDictionary(m, [&](const char* key, const char* type) {
                if (std::strcmp(key, "is-current") != 0 || std::strcmp(type, "b") != 0)
                    return false;
                int value = 0;
                sd_bus_message_read(m, "b", &value);
                current = value != 0;
                return true;
            });
            if (r < 0) return r;
            if (current) {
                monitor.modeID = id;
                monitor.width = width;
                monitor.height = height;
                monitor.refreshRate = refresh;
            }
            if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        }
        if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
        r = readDictionary(m, [&](const char* key, const char* type) {
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

int readLogicalMonitors(sd_bus_message* m, std::vector<MutterMonitor>& monitors,
                        std::vector<MutterLogicalMonitor>& logical) {
    int r = sd_bus_message_enter_container(m, 'a', "(iiduba(ssss)a{sv})");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'r', "iiduba(ssss)a{sv}")) > 0) {
        int x = 0, y = 0, primary = 0;
        double scale = 0;
        std::uint32_t transform = 0;
        if ((r = sd_bus_message_read(m, "iidub", &x, &y, &scale, &transform, &primary)) < 0)
            return r;
        if ((r = sd_bus_message_enter_container(m, 'a', "(ssss)")) < 0) return r;
        MutterLogicalMonitor region{x, y, scale, transform, primary != 0, {}};
        MonitorSpec spec;
        while ((r = readSpec(m, spec)) > 0) {
            region.connectors.push_back(spec.connector);
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
        logical.push_back(std::move(region));
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

std::string callFailure(const char* what, const sd_bus_error& error, int r) {
    return std::string(what) + ": " + (error.message ? error.message : std::strerror(-r));
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
            problem = callFailure("GetCurrentState", callError, r);
            sd_bus_error_free(&callError);
            return std::nullopt;
        }
        MutterDisplayState result;
        r = sd_bus_message_read(reply, "u", &result.serial);
        if (r >= 0) r = readMonitors(reply, result.monitors);
        if (r >= 0) r = readLogicalMonitors(reply, result.monitors, result.logicalMonitors);
        if (r >= 0)
            r = readDictionary(reply, [&](const char* key, const char* type) {
                if (std::strcmp(key, "layout-mode") != 0 || std::strcmp(type, "u") != 0)
                    return false;
                std::uint32_t mode = 1;
                sd_bus_message_read(reply, "u", &mode);
                result.logicalLayout = mode != 2;
                return true;
            });
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

bool applyLayout(MutterBus& bus, const MutterDisplayState& state,
                 const std::vector<MutterLogicalMonitor>& layout, std::string* error) {
    constexpr std::uint32_t temporaryMethod = 1;  // not stored, and asks for no confirmation
    std::string problem;
    const bool applied = bus.withBus([&](sd_bus* connection) {
        sd_bus_message* call = nullptr;
        int r =
            sd_bus_message_new_method_call(connection, &call, displayConfigName, displayConfigPath,
                                           displayConfigName, "ApplyMonitorsConfig");
        if (r >= 0) r = sd_bus_message_append(call, "uu", state.serial, temporaryMethod);
        if (r >= 0) r = sd_bus_message_open_container(call, 'a', "(iiduba(ssa{sv}))");
        for (const auto& region : layout) {
            if (r >= 0) r = sd_bus_message_open_container(call, 'r', "iiduba(ssa{sv})");
            if (r >= 0)
                r = sd_bus_message_append(call, "iidub", region.x, region.y, region.scale,
                                          region.transform, int(region.primary));
            if (r >= 0) r = sd_bus_message_open_container(call, 'a', "(ssa{sv})");
            for (const auto& connector : region.connectors) {
                const MutterMonitor* monitor = state.monitor(connector);
                const std::string mode = monitor ? monitor->modeID : std::string();
                if (r >= 0)
                    r = sd_bus_message_append(call, "(ssa{sv})", connector.c_str(), mode.c_str(),
                                              0);
            }
            if (r >= 0) r = sd_bus_message_close_container(call);
            if (r >= 0) r = sd_bus_message_close_container(call);
        }
        if (r >= 0) r = sd_bus_message_close_container(call);
        if (r >= 0) r = sd_bus_message_append(call, "a{sv}", 0);
        sd_bus_error callError = SD_BUS_ERROR_NULL;
        if (r >= 0) r = sd_bus_call(connection, call, 0, &callError, nullptr);
        if (r < 0) problem = callFailure("ApplyMonitorsConfig", callError, r);
        sd_bus_error_free(&callError);
        sd_bus_message_unref(call);
        return r >= 0;
    });
    if (!applied && error) *error = problem;
    return applied;
}

}  // namespace vl
