// platform/desktop: a program the desktop started — spawned with its output in a log file, told
// to die with us, and stopped by its process id only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vl {

class ChildProcess {
  public:
    struct Spawn {
        std::vector<std::string> arguments;    // arguments[0] is the program, looked up in PATH
        std::vector<std::string> environment;  // NAME=value entries replacing ours
        std::string logFile;                   // stdout and stderr; /dev/null when empty
        int passFd = -1;                       // kept open in the child as descriptor 3
    };

    ChildProcess() = default;
    ~ChildProcess() { stop(); }
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Nothing when the process cannot be created (an unknown program shows as an early exit).
    static std::optional<ChildProcess> start(const Spawn& spawn);

    pid_t pid() const { return pid_; }
    // True while it runs; reaps it once it has exited.
    bool running();
    std::optional<int> exitStatus() const { return status_; }
    // Sends SIGTERM without waiting, so that several children can wind down together.
    void terminate();
    // SIGTERM, then SIGKILL after the grace period; waits for it. Does nothing when not running.
    void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));

  private:
    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    bool waitFor(std::chrono::milliseconds limit);
    pid_t pid_ = -1;
    std::optional<int> status_;
};

}  // namespace vl
