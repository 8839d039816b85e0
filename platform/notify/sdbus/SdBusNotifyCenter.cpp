#include "platform/notify/sdbus/SdBusNotifyCenter.h"

#include "base/Log.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace vl {

namespace {

// Match rules quote the value; a name that would break out of the quotes is not a name.
bool isPlainName(const std::string& name) {
    return !name.empty() && name.find_first_of("'\\,") == std::string::npos && name.size() < 200;
}

int pollTimeout(std::uint64_t deadlineUsec) {
    if (deadlineUsec == UINT64_MAX) return -1;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                                  static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
    if (deadlineUsec <= nowUsec) return 0;
    return static_cast<int>((deadlineUsec - nowUsec + 999) / 1000);
}

}  // namespace

std::unique_ptr<SdBusNotifyCenter> SdBusNotifyCenter::open(const std::string& address) {
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
        logMsg(std::string("❌ notify: no session bus: ") + std::strerror(-r), LogLevel::error);
        if (bus) sd_bus_unref(bus);
        return nullptr;
    }
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    return std::unique_ptr<SdBusNotifyCenter>(new SdBusNotifyCenter(bus, wakeFd));
}

SdBusNotifyCenter::SdBusNotifyCenter(sd_bus* bus, int wakeFd) : bus_(bus), wakeFd_(wakeFd) {
    thread_ = std::thread([this] { run(); });
}

SdBusNotifyCenter::~SdBusNotifyCenter() {
    stopping_ = true;
    wake();
    if (thread_.joinable()) thread_.join();
    {
        std::lock_guard lock(busMutex_);
        for (auto& [token, observer] : observers_) sd_bus_slot_unref(observer->slot);
        observers_.clear();
        sd_bus_flush_close_unref(bus_);
        bus_ = nullptr;
    }
    ::close(wakeFd_);
}

bool SdBusNotifyCenter::post(const std::string& name) {
    int r;
    {
        std::lock_guard lock(busMutex_);
        r = sd_bus_emit_signal(bus_, objectPath, interfaceName, memberName, "s", name.c_str());
        if (r >= 0) r = sd_bus_flush(bus_);
    }
    wake();
    if (r < 0) {
        logMsg("❌ notify: could not post " + name + ": " + std::strerror(-r), LogLevel::error);
        return false;
    }
    return true;
}

std::optional<NotifyCenter::Token> SdBusNotifyCenter::addObserver(const std::string& name,
                                                                  Handler handler) {
    if (!isPlainName(name)) return std::nullopt;
    const std::string rule = std::string("type='signal',path='") + objectPath + "',interface='" +
                             interfaceName + "',member='" + memberName + "',arg0='" + name + "'";
    std::optional<Token> token;
    int r;
    {
        std::lock_guard lock(busMutex_);
        auto observer = std::make_unique<Observer>();
        observer->center = this;
        observer->token = next_++;
        observer->name = name;
        observer->handler = std::make_shared<Handler>(std::move(handler));
        r = sd_bus_add_match(bus_, &observer->slot, rule.c_str(), &SdBusNotifyCenter::onSignal,
                             observer.get());
        if (r >= 0) {
            token = observer->token;
            observers_[*token] = std::move(observer);
        }
    }
    // The match call may have queued signals that arrived meanwhile: let the thread see them.
    wake();
    if (r < 0) {
        logMsg("❌ notify: could not observe " + name + ": " + std::strerror(-r), LogLevel::error);
        return std::nullopt;
    }
    return token;
}

void SdBusNotifyCenter::removeObserver(Token token) {
    // A handler that removes its own observer must not wait for itself.
    std::unique_lock dispatching(dispatchMutex_, std::defer_lock);
    if (std::this_thread::get_id() != thread_.get_id()) dispatching.lock();
    std::lock_guard lock(busMutex_);
    auto found = observers_.find(token);
    if (found == observers_.end()) return;
    sd_bus_slot_unref(found->second->slot);
    observers_.erase(found);
}

int SdBusNotifyCenter::onSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
    // Runs inside sd_bus_process, under busMutex_: only note it; handlers run after.
    auto* observer = static_cast<Observer*>(userdata);
    const char* name = nullptr;
    if (sd_bus_message_read(message, "s", &name) < 0 || !name) return 0;
    if (observer->name == name) observer->center->received_.emplace_back(observer->token, name);
    return 0;
}

void SdBusNotifyCenter::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
}

void SdBusNotifyCenter::run() {
    while (!stopping_) {
        pollfd fds[2] = {};
        std::uint64_t deadline = UINT64_MAX;
        std::vector<std::pair<Token, std::string>> received;
        {
            std::lock_guard lock(busMutex_);
            int r;
            while ((r = sd_bus_process(bus_, nullptr)) > 0) {
            }
            if (r < 0) {
                logMsg(std::string("❌ notify: session bus lost: ") + std::strerror(-r),
                       LogLevel::error);
                return;
            }
            received.swap(received_);
            fds[0].fd = sd_bus_get_fd(bus_);
            fds[0].events = static_cast<short>(sd_bus_get_events(bus_));
            sd_bus_get_timeout(bus_, &deadline);
        }
        if (!received.empty()) {
            std::lock_guard dispatching(dispatchMutex_);
            for (const auto& [token, name] : received) {
                std::shared_ptr<Handler> handler;
                {
                    std::lock_guard lock(busMutex_);
                    auto found = observers_.find(token);
                    if (found != observers_.end()) handler = found->second->handler;
                }
                if (handler) (*handler)(name);
            }
            continue;  // handlers may have posted or observed: process again before waiting
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
