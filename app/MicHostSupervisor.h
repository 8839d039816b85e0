// app: keeps the virtual microphone's host running for as long as the server runs: starts it,
// reports when it dies and starts it again (waiting longer after each quick death).
#pragma once

#include "platform/desktop/ChildProcess.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace vl {

class MicHostSupervisor {
  public:
    using Report = std::function<void(const std::string&)>;

    // $VANTREL_MIC_HOST, then corvane-mic-host beside this program, then the build's own.
    static std::optional<std::string> findHost();

    MicHostSupervisor(std::string program, std::string logFile, Report report);
    ~MicHostSupervisor();
    MicHostSupervisor(const MicHostSupervisor&) = delete;
    MicHostSupervisor& operator=(const MicHostSupervisor&) = delete;

    int restarts() const;

  private:
    void run();
    bool launch();  // under mutex_

    const std::string program_;
    const std::string logFile_;
    const Report report_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    int restarts_ = 0;
    std::optional<ChildProcess> host_;
    std::thread watcher_;
};

}  // namespace vl
