// platform/mutter: one connection to the session bus that Mutter serves. Calls come from any
// thread; signals are read on the connection's own thread. Mutter ties its remote-desktop and
// screen-cast sessions to the connection that made them, so the connection lives as long as they.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <systemd/sd-bus.h>

namespace vl {

// The bus at `address` (a D-Bus address), or the user's session bus when empty; null when it
// cannot be reached.
sd_bus* openSessionBus(const std::string& address);

// Walks an a{sv} of `m`, handing each key and its variant's type to `entry`, which reads the
// value or returns false to have it skipped. Negative: sd-bus's error.
int readDictionary(sd_bus_message* m,
                   const std::function<bool(const char* key, const char* type)>& entry);

class MutterBus {
  public:
    using SignalHandler = std::function<void(sd_bus_message*)>;

    // Null when the bus cannot be reached; `error` then says why.
    static std::shared_ptr<MutterBus> open(const std::string& address, std::string* error);
    ~MutterBus();
    MutterBus(const MutterBus&) = delete;
    MutterBus& operator=(const MutterBus&) = delete;

    // Runs `use` with the connection held; what it returns is passed on.
    template <typename Use>
    auto withBus(Use&& use) {
        struct Wake {
            MutterBus* bus;
            ~Wake() { bus->wake(); }
        } wake{this};
        std::lock_guard lock(mutex_);
        return use(bus_);
    }

    // A match on signals of `interface`.`member` from `path`; the handler runs on the bus thread
    // with the connection held, so it only records what it reads and never calls the bus. The
    // match ends when the returned slot is unreferenced (through `dropMatch`).
    sd_bus_slot* addSignalMatch(const std::string& path, const std::string& interface,
                                const std::string& member, SignalHandler handler);
    void dropMatch(sd_bus_slot* slot);

  private:
    MutterBus(sd_bus* bus, int wakeFd);
    static int onSignal(sd_bus_message* message, void* userdata, sd_bus_error* error);
    void run();
    void wake();

    std::mutex mutex_;
    sd_bus* bus_ = nullptr;
    const int wakeFd_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace vl
