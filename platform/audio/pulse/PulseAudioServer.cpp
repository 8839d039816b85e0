#include "platform/audio/pulse/PulseAudioServer.h"

#include <pulse/pulseaudio.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

namespace vl {

bool PulseAudioServer::reachable(const std::string& address, std::chrono::milliseconds timeout) {
    pa_mainloop* loop = pa_mainloop_new();
    if (!loop) return false;
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "Vantrel Link probe");
    bool ready = false;
    if (context && pa_context_connect(context, address.empty() ? nullptr : address.c_str(),
                                      PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto state = pa_context_get_state(context);
            if (state == PA_CONTEXT_READY) {
                ready = true;
                break;
            }
            if (!PA_CONTEXT_IS_GOOD(state)) break;
            pa_mainloop_prepare(loop, 10000);  // at most 10 ms per turn
            pa_mainloop_poll(loop);
            pa_mainloop_dispatch(loop);
        }
        pa_context_disconnect(context);
    }
    if (context) pa_context_unref(context);
    pa_mainloop_free(loop);
    return ready;
}

std::unique_ptr<PulseAudioServer> PulseAudioServer::start(Options options, Report report) {
    std::unique_ptr<PulseAudioServer> server(new PulseAudioServer());
    server->report_ = std::move(report);
    if (options.runtimeDirectory.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp && *tmp ? tmp : "/tmp") + "/vantrel-link-sound-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            server->say("🟥 Sound server: cannot create its runtime folder");
            return nullptr;
        }
        server->directory_ = pattern;
        server->ownsDirectory_ = true;
    } else {
        server->directory_ = options.runtimeDirectory;
        std::filesystem::create_directories(server->directory_);
    }
    chmod(server->directory_.c_str(), 0700);
    server->address_ = "unix:" + server->directory_ + "/native";
    server->options_ = std::move(options);
    // Read now: a restart happens on the watcher while the main thread may change the environment.
    const char* path = std::getenv("PATH");
    server->path_ = path ? path : "/usr/bin:/bin";
    if (!server->launch()) {
        server->stop();
        return nullptr;
    }
    server->say("🟩 Sound server of our own started (pid " + std::to_string(server->pid()) +
                ", " + server->address_ + ")");
    if (server->options_.restartWhenDied)
        server->watcher_ = std::thread([raw = server.get()] { raw->watch(); });
    return server;
}

// Starts the process and waits until it answers. Called with mutex_ held, or before the watcher
// exists.
bool PulseAudioServer::launch() {
    const std::string socket = directory_ + "/native";
    std::error_code ignored;
    std::filesystem::remove(socket, ignored);  // a killed server leaves its socket behind
    ChildProcess::Spawn spawn;
    spawn.arguments = {options_.program,
                       "-n",  // no default script: only what we load
                       "--daemonize=no",
                       "--exit-idle-time=-1",
                       "--use-pid-file=no",
                       "--log-target=stderr",
                       "-L",
                       "module-native-protocol-unix socket=" + socket + " auth-anonymous=1"};
    // Its own runtime and configuration folders: nothing of a user's sound setup is touched.
    spawn.environment = {"PATH=" + path_, "HOME=" + directory_, "XDG_RUNTIME_DIR=" + directory_,
                         "XDG_CONFIG_HOME=" + directory_ + "/config"};
    spawn.logFile = directory_ + "/pulseaudio.log";
    auto process = ChildProcess::start(spawn);
    if (!process) {
        say("🟥 Sound server: cannot start " + options_.program);
        return false;
    }
    process_ = std::move(*process);

    const auto deadline = std::chrono::steady_clock::now() + options_.startTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!process_.running()) break;
        if (std::filesystem::exists(socket) && reachable(address_, std::chrono::milliseconds(500)))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    say("🟥 Sound server did not start; see " + spawn.logFile);
    process_.stop(std::chrono::milliseconds(2000));
    return false;
}

// Same pacing as the desktop's X server: at most three restarts a minute.
void PulseAudioServer::watch() {
    std::vector<std::chrono::steady_clock::time_point> restarts;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        wake_.wait_for(lock, std::chrono::milliseconds(500));
        if (stopping_ || process_.running()) continue;
        const auto now = std::chrono::steady_clock::now();
        std::erase_if(restarts, [&](auto at) { return now - at > std::chrono::minutes(1); });
        if (restarts.size() >= 3) {
            say("🟥 Sound server keeps dying; not starting it again");
            return;
        }
        restarts.push_back(now);
        say("🟥 Sound server died; starting it again");
        if (launch())
            say("🟩 Sound server started again (pid " + std::to_string(process_.pid()) + ")");
    }
}

PulseAudioServer::~PulseAudioServer() {
    stop();
}

pid_t PulseAudioServer::pid() const {
    std::lock_guard lock(mutex_);
    return process_.pid();
}

bool PulseAudioServer::running() {
    std::lock_guard lock(mutex_);
    return process_.running();
}

void PulseAudioServer::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (watcher_.joinable()) watcher_.join();
    process_.stop(std::chrono::milliseconds(2000));
    if (ownsDirectory_ && !directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
        ownsDirectory_ = false;
    }
}

}  // namespace vl
