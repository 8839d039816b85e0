// workers: the supervisor of the control server and its advertisement — starts and stops them as
// one unit and rebuilds both when the host's IPv4 address changes. All state changes run on one
// serial queue, so starts, stops and restarts never overlap.
#pragma once

#include "base/DispatchQueue.h"
#include "comm/ControlServer.h"
#include "comm/VNTmDnsServer.h"
#include "platform/discovery/Interface.h"
#include "platform/pathmonitor/Interface.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vl {

class ControlRequestService {
  public:
    struct Environment {
        std::shared_ptr<DiscoveryService> discovery;
        PathMonitorFactory makePathMonitor;
        // What every control server's session stands on.
        SessionEnvironment session;
        // The keepalive interval of the control connection, when not the protocol's.
        std::optional<std::chrono::milliseconds> keepaliveInterval;
    };

    explicit ControlRequestService(Environment environment);
    ~ControlRequestService();

    // Ends the running control server's session, if any, without waiting (any thread).
    void endSession();

    // Queue the work on the state queue and return at once.
    void start();
    void stop();

    // Waits until the work queued so far is done.
    void waitUntilIdle();

    // Read-outs, taken on the state queue.
    bool isRunning();
    std::shared_ptr<ControlServer> controlServer();
    std::optional<std::string> lastKnownIPAddress();
    std::optional<std::string> advertisedName();
    int serverStarts();

  private:
    // On the state queue.
    void startServer();
    // Stopping for good (not restarting) also closes the client's connections, so that it
    // learns at once instead of by time-out.
    enum class Ending { restart, stop };
    void stopServer(Ending ending);
    void startMDns(std::uint16_t port);
    void startPathMonitor();
    void stopPathMonitor();
    void pathUpdate();

    Environment environment_;
    DispatchQueue stateQueue_{"ControlRequestService.StateQueue"};
    DispatchQueue monitorQueue_{"ControlRequestService.PathMonitorQueue"};
    bool isRunning_ = false;
    std::optional<std::string> lastKnownIPAddress_;
    std::unique_ptr<PathMonitor> pathMonitor_;
    std::shared_ptr<ControlServer> controlServer_;
    std::unique_ptr<VNTmDnsServer> vntMDnsServer_;
    int serverStarts_ = 0;
};

}  // namespace vl
