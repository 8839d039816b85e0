#include "platform/desktop/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <utility>

namespace vl {

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), status_(other.status_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        stop();
        pid_ = std::exchange(other.pid_, -1);
        status_ = other.status_;
    }
    return *this;
}

std::optional<ChildProcess> ChildProcess::start(const Spawn& spawn) {
    if (spawn.arguments.empty()) return std::nullopt;
    // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
    std::vector<char*> argv, envp;
    for (const auto& a : spawn.arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : spawn.environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    int log = open(spawn.logFile.empty() ? "/dev/null" : spawn.logFile.c_str(),
                   O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log < 0) return std::nullopt;
    int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t parent = getpid();

    pid_t pid = fork();
    if (pid < 0) {
        close(log);
        if (devNull >= 0) close(devNull);
        return std::nullopt;
    }
    if (pid == 0) {
        // Signals we block (the server waits for SIGINT and SIGTERM on a thread) or ignore would
        // stay so across exec: the child would sleep through our SIGTERM and only die by SIGKILL.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGQUIT}) signal(s, SIG_DFL);
        // Our desktop must not outlive us, even when we are killed.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        setpgid(0, 0);  // a terminal's Ctrl-C reaches us, and we stop it in order
        if (devNull >= 0) dup2(devNull, 0);
        dup2(log, 1);
        dup2(log, 2);
        if (spawn.passFd >= 0) {
            if (spawn.passFd == 3)
                fcntl(3, F_SETFD, 0);
            else
                dup2(spawn.passFd, 3);
        }
        // Descriptors opened without O_CLOEXEC (the network's UDP sockets among them) would keep
        // their ports bound in a child that outlives the session, e.g. an X server restarted
        // mid-session: the next session could not listen on them again.
        const unsigned firstUnused = spawn.passFd >= 0 ? 4 : 3;
        if (close_range(firstUnused, ~0U, 0) != 0)
            for (int fd = int(firstUnused); fd < 1024; ++fd) close(fd);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(log);
    if (devNull >= 0) close(devNull);
    return ChildProcess(pid);
}

bool ChildProcess::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == 0) return true;
    status_ = done == pid_ ? status : -1;
    pid_ = -1;
    return false;
}

bool ChildProcess::waitFor(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

void ChildProcess::terminate() {
    if (running()) kill(pid_, SIGTERM);
}

void ChildProcess::stop(std::chrono::milliseconds grace) {
    if (!running()) return;
    kill(pid_, SIGTERM);
    if (waitFor(grace)) return;
    kill(pid_, SIGKILL);
    waitFor(std::chrono::milliseconds(2000));
}

}  // namespace vl
