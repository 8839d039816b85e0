#include "platform/extensions/systemd/SystemdExtensionManager.h"

#include "base/Log.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string_view>
#include <thread>

#include <systemd/sd-bus.h>

namespace vl {

namespace {

constexpr const char* destination = "org.freedesktop.systemd1";
constexpr const char* managerPath = "/org/freedesktop/systemd1";
constexpr const char* managerInterface = "org.freedesktop.systemd1.Manager";

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// One connection to the user manager for one request; errors keep their D-Bus message.
class UserManager {
  public:
    explicit UserManager(const std::string& address) {
        int r;
        if (address.empty()) {
            r = sd_bus_open_user(&bus_);
        } else {
            r = sd_bus_new(&bus_);
            if (r >= 0) r = sd_bus_set_address(bus_, address.c_str());
            if (r >= 0) r = sd_bus_set_bus_client(bus_, 1);
            if (r >= 0) r = sd_bus_start(bus_);
        }
        if (r < 0)
            error_ = std::string("cannot reach the user's service manager: ") + std::strerror(-r);
    }
    ~UserManager() {
        if (bus_) sd_bus_flush_close_unref(bus_);
    }
    const std::optional<std::string>& error() const { return error_; }

    bool reload() { return call("Reload", nullptr, ""); }
    bool startUnit(const std::string& unit) {
        return call("StartUnit", nullptr, "ss", unit.c_str(), "replace");
    }
    bool stopUnit(const std::string& unit) {
        return call("StopUnit", nullptr, "ss", unit.c_str(), "replace");
    }
    bool enable(const std::string& unit) {
        sd_bus_message* reply = nullptr;
        const bool ok = callWithArray("EnableUnitFiles", unit, true, &reply);
        sd_bus_message_unref(reply);
        return ok;
    }
    bool disable(const std::string& unit) {
        sd_bus_message* reply = nullptr;
        const bool ok = callWithArray("DisableUnitFiles", unit, false, &reply);
        sd_bus_message_unref(reply);
        return ok;
    }
    std::optional<std::string> unitFileState(const std::string& unit) {
        sd_bus_message* reply = nullptr;
        if (!call("GetUnitFileState", &reply, "s", unit.c_str())) return std::nullopt;
        const char* state = nullptr;
        std::optional<std::string> result;
        if (sd_bus_message_read(reply, "s", &state) >= 0 && state) result = state;
        sd_bus_message_unref(reply);
        return result;
    }
    std::optional<std::string> activeState(const std::string& unit) {
        sd_bus_message* reply = nullptr;
        if (!call("LoadUnit", &reply, "s", unit.c_str())) return std::nullopt;
        const char* path = nullptr;
        std::optional<std::string> result;
        if (sd_bus_message_read(reply, "o", &path) >= 0 && path) {
            char* state = nullptr;
            sd_bus_error error = SD_BUS_ERROR_NULL;
            if (sd_bus_get_property_string(bus_, destination, path, "org.freedesktop.systemd1.Unit",
                                           "ActiveState", &error, &state) >= 0) {
                result = state;
                std::free(state);
            }
            sd_bus_error_free(&error);
        }
        sd_bus_message_unref(reply);
        return result;
    }

  private:
    template <typename... Args>
    bool call(const char* method, sd_bus_message** reply, const char* signature, Args... args) {
        if (!bus_) return false;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        const int r = sd_bus_call_method(bus_, destination, managerPath, managerInterface, method,
                                         &error, reply, signature, args...);
        if (r < 0) error_ = error.message ? error.message : std::strerror(-r);
        sd_bus_error_free(&error);
        return r >= 0;
    }
    // EnableUnitFiles(as files, b runtime, b force) and DisableUnitFiles(as files, b runtime).
    bool callWithArray(const char* method, const std::string& unit, bool force,
                       sd_bus_message** reply) {
        if (!bus_) return false;
        sd_bus_message* message = nullptr;
        int r = sd_bus_message_new_method_call(bus_, &message, destination, managerPath,
                                               managerInterface, method);
        const char* units[] = {unit.c_str(), nullptr};
        if (r >= 0) r = sd_bus_message_append_strv(message, const_cast<char**>(units));
        if (r >= 0) r = sd_bus_message_append(message, "b", 0);
        if (r >= 0 && force) r = sd_bus_message_append(message, "b", 1);
        sd_bus_error error = SD_BUS_ERROR_NULL;
        if (r >= 0) r = sd_bus_call(bus_, message, 0, &error, reply);
        if (r < 0) error_ = error.message ? error.message : std::strerror(-r);
        sd_bus_error_free(&error);
        sd_bus_message_unref(message);
        return r >= 0;
    }

    sd_bus* bus_ = nullptr;
    std::optional<std::string> error_;
};

}  // namespace

std::string SystemdExtensionManager::versionOf(const std::string& text) {
    const std::string key = "# Version: ";
    const auto at = text.find(key);
    if (at == std::string::npos) return {};
    const auto end = text.find('\n', at);
    return text.substr(at + key.size(),
                       end == std::string::npos ? std::string::npos : end - at - key.size());
}

SystemdExtensionManager::SystemdExtensionManager(Options options) : options_(std::move(options)) {
    if (options_.unitDirectory.empty()) {
        const char* config = std::getenv("XDG_CONFIG_HOME");
        const char* home = std::getenv("HOME");
        options_.unitDirectory =
            config && *config
                ? std::filesystem::path(config) / "systemd" / "user"
                : std::filesystem::path(home ? home : "/tmp") / ".config" / "systemd" / "user";
    }
    worker_ = std::thread([this] { run(); });
}

SystemdExtensionManager::~SystemdExtensionManager() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

void SystemdExtensionManager::submitActivationRequest(
    const std::string&, std::weak_ptr<ExtensionRequestDelegate> delegate) {
    submit(Kind::activate, std::move(delegate));
}
void SystemdExtensionManager::submitDeactivationRequest(
    const std::string&, std::weak_ptr<ExtensionRequestDelegate> delegate) {
    submit(Kind::deactivate, std::move(delegate));
}
void SystemdExtensionManager::submitPropertiesRequest(
    const std::string&, std::weak_ptr<ExtensionRequestDelegate> delegate) {
    submit(Kind::properties, std::move(delegate));
}

void SystemdExtensionManager::submit(Kind kind, std::weak_ptr<ExtensionRequestDelegate> delegate) {
    {
        std::lock_guard lock(mutex_);
        jobs_.emplace_back(kind, std::move(delegate));
    }
    wake_.notify_all();
}

void SystemdExtensionManager::deliver(std::function<void()> block) {
    if (options_.deliver)
        options_.deliver(std::move(block));
    else
        block();
}

void SystemdExtensionManager::run() {
    for (;;) {
        std::pair<Kind, std::weak_ptr<ExtensionRequestDelegate>> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        perform(job.first, job.second);
    }
}

namespace {

// Starting or stopping a unit only queues a job: its state changes when the manager runs it,
// later under load. The request is finished (and the state asked for after it true) once the unit
// is in one of the wanted states, or after a while in any case.
void waitUntilSettled(UserManager& manager, const std::string& unit,
                      std::initializer_list<std::string_view> wanted) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string state = manager.activeState(unit).value_or("inactive");
        if (std::find(wanted.begin(), wanted.end(), state) != wanted.end()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace

void SystemdExtensionManager::perform(Kind kind,
                                      const std::weak_ptr<ExtensionRequestDelegate>& delegate) {
    auto fail = [&](const std::string& message) {
        deliver([delegate, message] {
            if (auto d = delegate.lock()) d->didFailWithError(message);
        });
    };
    UserManager manager(options_.busAddress);
    if (manager.error()) return fail(*manager.error());
    const std::filesystem::path unitFile = options_.unitDirectory / options_.unitName;
    const std::string unit = options_.unitName;

    if (kind == Kind::properties) {
        std::vector<ExtensionProperties> found;
        const auto fileState = manager.unitFileState(unit);
        if (fileState) {
            const std::string active = manager.activeState(unit).value_or("inactive");
            ExtensionProperties properties;
            properties.bundleVersion = versionOf(readFile(unitFile));
            properties.isEnabled =
                *fileState == "enabled" &&
                (active == "active" || active == "activating" || active == "reloading");
            properties.isUninstalling = active == "deactivating";
            found.push_back(properties);
        }
        deliver([delegate, found] {
            if (auto d = delegate.lock()) d->foundProperties(found);
        });
        return;
    }

    if (kind == Kind::activate) {
        std::error_code error;
        const std::string existing = readFile(unitFile);
        if (!existing.empty() && existing != options_.unitFileText) {
            // Asked on the delivering thread, as every other delegate call, and waited for.
            std::mutex answered;
            std::condition_variable ready;
            std::optional<ReplacementAction> action;
            deliver([&] {
                auto d = delegate.lock();
                const ReplacementAction answer =
                    d ? d->actionForReplacingExtension(versionOf(existing),
                                                       versionOf(options_.unitFileText))
                      : ReplacementAction::cancel;
                std::lock_guard lock(answered);
                action = answer;
                ready.notify_all();
            });
            std::unique_lock lock(answered);
            ready.wait(lock, [&] { return action.has_value(); });
            if (*action == ReplacementAction::cancel)
                return fail("the installed camera daemon was kept");
        }
        std::filesystem::create_directories(options_.unitDirectory, error);
        std::ofstream(unitFile, std::ios::trunc) << options_.unitFileText;
        if (!std::filesystem::exists(unitFile)) return fail("cannot write " + unitFile.string());
        if (!manager.reload() || !manager.enable(unit) || !manager.startUnit(unit))
            return fail(manager.error().value_or("the service manager refused"));
        waitUntilSettled(manager, unit, {"active", "failed"});
    } else {
        if (!manager.stopUnit(unit) || !manager.disable(unit))
            return fail(manager.error().value_or("the service manager refused"));
        waitUntilSettled(manager, unit, {"inactive", "failed"});
    }
    deliver([delegate] {
        if (auto d = delegate.lock()) d->didFinishWithResult(ExtensionRequestResult::completed);
    });
}

}  // namespace vl
