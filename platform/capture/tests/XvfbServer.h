// Test helper: a private Xvfb on the first free display number of a range, stopped by process id.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace vl::test {

class XvfbServer {
  public:
    XvfbServer(int width, int height, int firstNumber = 80, int lastNumber = 84) {
        for (int number = firstNumber; number <= lastNumber && pid_ <= 0; ++number) {
            struct stat info;
            const std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
            if (stat(lock.c_str(), &info) == 0) continue;
            tryStart(number, width, height);
        }
    }
    ~XvfbServer() { stop(); }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool running() const { return pid_ > 0; }
    const std::string& name() const { return name_; }

    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    void tryStart(int number, int width, int height) {
        const std::string display = ":" + std::to_string(number);
        const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execlp("Xvfb", "Xvfb", display.c_str(), "-screen", "0", screen.c_str(), "-nolisten",
                   "tcp", "-noreset", static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid < 0) return;
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
        for (int i = 0; i < 100; ++i) {
            struct stat info;
            // Another test may have started a server on this number a moment earlier: the socket
            // is ours only when the lock file names our process.
            if (stat(socket.c_str(), &info) == 0 && lockOwner(number) == pid) {
                pid_ = pid;
                name_ = display;
                return;
            }
            if (waitpid(pid, nullptr, WNOHANG) == pid) return;  // lost the number to another
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }

    static pid_t lockOwner(int number) {
        std::ifstream lock("/tmp/.X" + std::to_string(number) + "-lock");
        long owner = -1;
        lock >> owner;
        return lock ? static_cast<pid_t>(owner) : -1;
    }

    pid_t pid_ = -1;
    std::string name_;
};

}  // namespace vl::test
