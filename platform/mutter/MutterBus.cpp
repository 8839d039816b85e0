#include "platform/mutter/MutterBus.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace vl {

int readDictionary(sd_bus_message* m,
                   const std::function<bool(const char* key, const char* type)>& entry) {
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

namespace {

int pollTimeout(std::uint64_t deadlineUsec) {
    if (deadlineUsec == UINT64_MAX) return -1;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                                  static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
    if (deadlineUsec <= nowUsec) return 0;
    return static_cast<int>((deadlineUsec - nowUsec + 999) / 1000);
}

// Handlers by slot userdata: owned here so that dropping a match frees its handler.
struct Match {
    MutterBus::SignalHandler handler;
};

}  // namespace

sd_bus* openSessionBus(const std::string& address) {
    sd_bus* bus = nullptr;
    int r;
    if (address.empty()) {
        r = sd_bus_open_user(&bus);
    } else {
        r = sd_bus_new(&bus);
        if (r >= 0) r = sd_bus_set_address(bus, address.c_str());
        if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
        if (r >= 0) r = sd_bus_start(bus);
    }
    if (r < 0) {
        if (bus) sd_bus_unref(bus);
        errno = -r;
        return nullptr;
    }
    return bus;
}

std::shared_ptr<MutterBus> MutterBus::open(const std::string& address, std::string* error) {
    sd_bus* bus = openSessionBus(address);
    if (!bus) {
        if (error) *error = std::string("no session bus: ") + std::strerror(errno);
        return nullptr;
    }
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        if (error) *error = std::string("eventfd: ") + std::strerror(errno);
        sd_bus_unref(bus);
        return nullptr;
    }
    return std::shared_ptr<MutterBus>(new MutterBus(bus, wakeFd));
}

MutterBus::MutterBus(sd_bus* bus, int wakeFd) : bus_(bus), wakeFd_(wakeFd) {
    thread_ = std::thread([this] { run(); });
}

MutterBus::~MutterBus() {
    stopping_ = true;
    wake();
    if (thread_.joinable()) thread_.join();
    {
        std::lock_guard lock(mutex_);
        sd_bus_flush_close_unref(bus_);
        bus_ = nullptr;
    }
    ::close(wakeFd_);
}

sd_bus_slot* MutterBus::addSignalMatch(const std::string& path, const std::string& interface,
                                       const std::string& member, SignalHandler handler) {
    auto* match = new Match{std::move(handler)};
    sd_bus_slot* slot = nullptr;
    int r = withBus([&](sd_bus* bus) {
        int result = sd_bus_match_signal(bus, &slot, nullptr, path.c_str(), interface.c_str(),
                                         member.c_str(), &MutterBus::onSignal, match);
        if (result >= 0)
            sd_bus_slot_set_destroy_callback(slot,
                                             [](void* data) { delete static_cast<Match*>(data); });
        return result;
    });
    if (r < 0) {
        delete match;
        return nullptr;
    }
    return slot;
}

void MutterBus::dropMatch(sd_bus_slot* slot) {
    if (!slot) return;
    withBus([slot](sd_bus*) { return sd_bus_slot_unref(slot); });
}

int MutterBus::onSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
    static_cast<Match*>(userdata)->handler(message);
    return 0;
}

void MutterBus::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
}

void MutterBus::run() {
    while (!stopping_) {
        pollfd fds[2] = {};
        std::uint64_t deadline = UINT64_MAX;
        {
            std::lock_guard lock(mutex_);
            int r;
            while ((r = sd_bus_process(bus_, nullptr)) > 0) {
            }
            if (r < 0) return;  // the bus went away; calls report it from now on
            fds[0].fd = sd_bus_get_fd(bus_);
            fds[0].events = static_cast<short>(sd_bus_get_events(bus_));
            sd_bus_get_timeout(bus_, &deadline);
        }
        fds[1].fd = wakeFd_;
        fds[1].events = POLLIN;
        if (::poll(fds, 2, pollTimeout(deadline)) < 0 && errno != EINTR) return;
        if (fds[1].revents & POLLIN) {
            std::uint64_t count;
            [[maybe_unused]] auto read = ::read(wakeFd_, &count, sizeof count);
        }
    }
}

}  // namespace vl
