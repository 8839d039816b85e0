#include "platform/events/dbus/DbusInputMethodState.h"

#include <gio/gio.h>

#include <unistd.h>
#include <cstdlib>
#include <fstream>

namespace vl {
namespace {

struct Unref {
    void operator()(gpointer object) const {
        if (object) g_object_unref(object);
    }
};
using Connection = std::unique_ptr<GDBusConnection, Unref>;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// A connection of our own: the shared one would end the process when the bus goes away.
Connection connect(const std::string& address) {
    if (address.empty()) return nullptr;
    GError* error = nullptr;
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (error) g_error_free(error);
    if (connection) g_dbus_connection_set_exit_on_close(connection, FALSE);
    return Connection(connection);
}

// IBus publishes its bus's address in a file named after the machine and the X display.
std::string ibusAddressFile() {
    std::string machine;
    std::ifstream("/etc/machine-id") >> machine;
    if (machine.empty()) std::ifstream("/var/lib/dbus/machine-id") >> machine;
    std::string display = environment("DISPLAY");
    std::string host = "unix";
    std::string number = "0";
    if (auto colon = display.find(':'); colon != std::string::npos) {
        if (colon > 0) host = display.substr(0, colon);
        number = display.substr(colon + 1);
        if (auto dot = number.find('.'); dot != std::string::npos) number.resize(dot);
    }
    std::string config = environment("XDG_CONFIG_HOME");
    if (config.empty()) config = environment("HOME") + "/.config";
    return config + "/ibus/bus/" + machine + "-" + host + "-" + number;
}

std::string ibusAddress() {
    if (auto address = environment("IBUS_ADDRESS"); !address.empty()) return address;
    std::ifstream file(ibusAddressFile());
    for (std::string line; std::getline(file, line);)
        if (line.rfind("IBUS_ADDRESS=", 0) == 0) return line.substr(13);
    return {};
}

// One method call answering a single string (or a variant holding the engine description).
GVariant* call(GDBusConnection* connection, const char* name, const char* path,
               const char* interface, const char* method, GVariant* parameters,
               std::chrono::milliseconds timeout) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        connection, name, path, interface, method, parameters, nullptr,
        G_DBUS_CALL_FLAGS_NO_AUTO_START, static_cast<int>(timeout.count()), nullptr, &error);
    if (error) g_error_free(error);
    return reply;
}

}  // namespace

struct DbusInputMethodState::Buses {
    Connection session;
    Connection ibus;
    std::string ibusAddress;
};

DbusInputMethodState::DbusInputMethodState(Options options)
    : options_(std::move(options)), buses_(std::make_unique<Buses>()) {}

DbusInputMethodState::~DbusInputMethodState() = default;

bool DbusInputMethodState::isLayout(const std::string& engine) {
    return engine.rfind("keyboard-", 0) == 0 || engine.rfind("fcitx-keyboard-", 0) == 0 ||
           engine.rfind("xkb:", 0) == 0;
}

std::optional<std::string> DbusInputMethodState::askFcitx() {
    if (!buses_->session || g_dbus_connection_is_closed(buses_->session.get())) {
        const std::string address = options_.sessionBusAddress.empty()
                                        ? environment("DBUS_SESSION_BUS_ADDRESS")
                                        : options_.sessionBusAddress;
        buses_->session = connect(address);
    }
    if (!buses_->session) return std::nullopt;
    GDBusConnection* bus = buses_->session.get();
    // Fcitx 5, then Fcitx 4.
    GVariant* reply = call(bus, "org.fcitx.Fcitx5", "/controller", "org.fcitx.Fcitx.Controller1",
                           "CurrentInputMethod", nullptr, options_.timeout);
    if (!reply)
        reply = call(bus, "org.fcitx.Fcitx", "/inputmethod", "org.fcitx.Fcitx.InputMethod",
                     "GetCurrentIM", nullptr, options_.timeout);
    if (!reply) return std::nullopt;
    std::optional<std::string> engine;
    if (g_variant_is_of_type(reply, G_VARIANT_TYPE("(s)"))) {
        const gchar* name = nullptr;
        g_variant_get(reply, "(&s)", &name);
        if (name && *name) engine = name;
    }
    g_variant_unref(reply);
    return engine;
}

std::optional<std::string> DbusInputMethodState::askIbus() {
    const std::string address = options_.ibusAddress.empty() ? ibusAddress() : options_.ibusAddress;
    if (address.empty()) return std::nullopt;
    if (!buses_->ibus || buses_->ibusAddress != address ||
        g_dbus_connection_is_closed(buses_->ibus.get())) {
        buses_->ibus = connect(address);
        buses_->ibusAddress = address;
    }
    if (!buses_->ibus) return std::nullopt;
    GVariant* reply =
        call(buses_->ibus.get(), "org.freedesktop.IBus", "/org/freedesktop/IBus",
             "org.freedesktop.DBus.Properties", "Get",
             g_variant_new("(ss)", "org.freedesktop.IBus", "GlobalEngine"), options_.timeout);
    if (!reply) return std::nullopt;
    std::optional<std::string> engine;
    // (v) holding v holding the serialised engine description: ("IBusEngineDesc", {...}, name, ...)
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    while (value && g_variant_is_of_type(value, G_VARIANT_TYPE_VARIANT)) {
        GVariant* inner = g_variant_get_variant(value);
        g_variant_unref(value);
        value = inner;
    }
    if (value && g_variant_is_container(value) && g_variant_n_children(value) > 2) {
        GVariant* name = g_variant_get_child_value(value, 2);
        if (g_variant_is_of_type(name, G_VARIANT_TYPE_STRING))
            engine = g_variant_get_string(name, nullptr);
        g_variant_unref(name);
    }
    if (value) g_variant_unref(value);
    g_variant_unref(reply);
    return engine;
}

std::optional<std::string> DbusInputMethodState::activeEngine() {
    std::lock_guard lock(mutex_);
    if (auto engine = askFcitx()) return engine;
    return askIbus();
}

bool DbusInputMethodState::imeInputSourceActive() {
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(mutex_);
        if (answer_ && now - answeredAt_ < options_.keep) return *answer_;
    }
    const auto engine = activeEngine();
    const bool active = engine && !isLayout(*engine);
    std::lock_guard lock(mutex_);
    answer_ = active;
    answeredAt_ = std::chrono::steady_clock::now();
    return active;
}

}  // namespace vl
