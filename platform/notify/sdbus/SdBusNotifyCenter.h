// platform/notify/sdbus: named notifications as D-Bus signals on the user's session bus. A post
// is the broadcast signal com.corvane.vantrel.Notify.Posted(name) from /com/corvane/vantrel/Notify;
// an observer is a match on that signal with arg0 equal to the name, so the bus daemon only wakes
// the processes that listen for it. One thread per centre owns the bus connection's I/O.
#pragma once

#include "platform/notify/Interface.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <systemd/sd-bus.h>

namespace vl {

class SdBusNotifyCenter final : public NotifyCenter {
  public:
    static constexpr const char* objectPath = "/com/corvane/vantrel/Notify";
    static constexpr const char* interfaceName = "com.corvane.vantrel.Notify";
    static constexpr const char* memberName = "Posted";

    // The session bus at `address` (a D-Bus address), or the user's session bus when empty.
    // None when it cannot be reached.
    static std::unique_ptr<SdBusNotifyCenter> open(const std::string& address = {});
    ~SdBusNotifyCenter() override;

    bool post(const std::string& name) override;
    std::optional<Token> addObserver(const std::string& name, Handler handler) override;
    void removeObserver(Token token) override;

  private:
    struct Observer {
        SdBusNotifyCenter* center = nullptr;
        Token token = 0;
        std::string name;
        std::shared_ptr<Handler> handler;
        sd_bus_slot* slot = nullptr;
    };

    SdBusNotifyCenter(sd_bus* bus, int wakeFd);
    static int onSignal(sd_bus_message* message, void* userdata, sd_bus_error* error);
    void run();
    void wake();

    std::mutex busMutex_;  // the bus connection, the observers and `received_`
    sd_bus* bus_ = nullptr;
    const int wakeFd_;
    std::map<Token, std::unique_ptr<Observer>> observers_;
    std::vector<std::pair<Token, std::string>> received_;
    Token next_ = 1;

    // Held while handlers run, so that removeObserver waits for a running one.
    std::mutex dispatchMutex_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace vl
