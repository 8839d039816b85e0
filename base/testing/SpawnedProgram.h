// base/testing: a program a test or benchmark starts itself — its output in a file, its CPU time
// and exit status read when it ends, and stopped by its process id if it still runs.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vl::testing {

class SpawnedProgram {
  public:
    // arguments[0] is the program's path; standard output and error go to `output`.
    explicit SpawnedProgram(std::vector<std::string> arguments,
                            const std::string& output = "/dev/null") {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        started_ = std::chrono::steady_clock::now();
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~SpawnedProgram() { stop(); }
    SpawnedProgram(const SpawnedProgram&) = delete;
    SpawnedProgram& operator=(const SpawnedProgram&) = delete;

    bool started() const { return pid_ > 0 || ended_ != std::chrono::steady_clock::time_point{}; }
    pid_t pid() const { return pid_; }

    // True once it has exited; false when the timeout passed first.
    bool wait(std::chrono::milliseconds timeout = std::chrono::hours(1)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (pid_ > 0) {
            int status = 0;
            rusage usage{};
            const pid_t done = ::wait4(pid_, &status, WNOHANG, &usage);
            if (done == pid_ || done < 0) {
                ended_ = std::chrono::steady_clock::now();
                cpuSeconds_ = seconds(usage.ru_utime) + seconds(usage.ru_stime);
                exitedCleanly_ = done == pid_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
                pid_ = -1;
                return true;
            }
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    // SIGTERM, then SIGKILL if it has not ended within three seconds.
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        if (!wait(std::chrono::seconds(3))) {
            ::kill(pid_, SIGKILL);
            wait(std::chrono::seconds(3));
        }
    }

    // Read once it has ended.
    bool exitedCleanly() const { return exitedCleanly_; }
    double cpuSeconds() const { return cpuSeconds_; }
    double wallSeconds() const { return std::chrono::duration<double>(ended_ - started_).count(); }

  private:
    static double seconds(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

    pid_t pid_ = -1;
    std::chrono::steady_clock::time_point started_, ended_;
    double cpuSeconds_ = 0;
    bool exitedCleanly_ = false;
};

}  // namespace vl::testing
