#include "platform/power/gnome/GnomeSessionPower.h"

#include <cstring>

namespace vl {

namespace {

constexpr const char* managerName = "org.gnome.SessionManager";
constexpr const char* managerPath = "/org/gnome/SessionManager";
constexpr std::uint32_t inhibitIdle = 8;

}  // namespace

GnomeSessionPower::GnomeSessionPower(std::string busAddress, Report report)
    : address_(std::move(busAddress)), report_(std::move(report)) {}

std::shared_ptr<MutterBus> GnomeSessionPower::connection(std::string* error) {
    std::lock_guard lock(mutex_);
    if (!bus_) bus_ = MutterBus::open(address_, error);
    return bus_;
}

void GnomeSessionPower::reportOnce(const std::string& text) {
    {
        std::lock_guard lock(mutex_);
        if (reported_) return;
        reported_ = true;
    }
    if (report_) report_(text);
}

std::optional<PowerAssertionID> GnomeSessionPower::preventUserIdleDisplaySleep(
    const std::string& name) {
    std::string problem;
    auto bus = connection(&problem);
    std::uint32_t cookie = 0;
    if (bus)
        bus->withBus([&](sd_bus* connection) {
            sd_bus_error error = SD_BUS_ERROR_NULL;
            sd_bus_message* reply = nullptr;
            int r = sd_bus_call_method(connection, managerName, managerPath, managerName, "Inhibit",
                                       &error, &reply, "susu", "vantrel-link", 0u, name.c_str(),
                                       inhibitIdle);
            if (r >= 0) r = sd_bus_message_read(reply, "u", &cookie);
            if (r < 0) problem = error.message ? error.message : std::strerror(-r);
            sd_bus_error_free(&error);
            sd_bus_message_unref(reply);
            return r;
        });
    if (cookie != 0) return cookie;
    reportOnce(
        "idle-sleep prevention is unavailable: the GNOME session manager did not inhibit "
        "idleness (" +
        problem + "); the display may sleep during a session");
    return std::nullopt;
}

std::optional<PowerAssertionID> GnomeSessionPower::declareUserActivity(const std::string&) {
    return std::nullopt;
}

void GnomeSessionPower::releaseAssertion(PowerAssertionID id) {
    std::shared_ptr<MutterBus> bus;
    {
        std::lock_guard lock(mutex_);
        bus = bus_;
    }
    if (!bus) return;
    bus->withBus([&](sd_bus* connection) {
        return sd_bus_call_method(connection, managerName, managerPath, managerName, "Uninhibit",
                                  nullptr, nullptr, "u", id);
    });
}

}  // namespace vl
