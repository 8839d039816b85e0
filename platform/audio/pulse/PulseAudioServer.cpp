#include "platform/audio/pulse/PulseAudioServer.h"

#include <pulse/pulseaudio.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

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
    auto say = [&](const std::string& text) {
        if (report) report(text);
    };
    std::unique_ptr<PulseAudioServer> server(new PulseAudioServer());
    if (options.runtimeDirectory.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp && *tmp ? tmp : "/tmp") + "/vantrel-link-sound-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            say("🟥 Sound server: cannot create its runtime folder");
            return nullptr;
        }
        server->directory_ = pattern;
        server->ownsDirectory_ = true;
    } else {
        server->directory_ = options.runtimeDirectory;
        std::filesystem::create_directories(server->directory_);
    }
    chmod(server->directory_.c_str(), 0700);
    const std::string socket = server->directory_ + "/native";
    server->address_ = "unix:" + socket;

    const char* path = std::getenv("PATH");
    ChildProcess::Spawn spawn;
    spawn.arguments = {options.program,
                       "-n",  // no default script: only what we load
                       "--daemonize=no",
                       "--exit-idle-time=-1",
                       "--use-pid-file=no",
                       "--log-target=stderr",
                       "-L",
                       "module-native-protocol-unix socket=" + socket + " auth-anonymous=1"};
    // Its own runtime and configuration folders: nothing of a user's sound setup is touched.
    spawn.environment = {"PATH=" + std::string(path ? path : "/usr/bin:/bin"),
                         "HOME=" + server->directory_, "XDG_RUNTIME_DIR=" + server->directory_,
                         "XDG_CONFIG_HOME=" + server->directory_ + "/config"};
    spawn.logFile = server->directory_ + "/pulseaudio.log";
    auto process = ChildProcess::start(spawn);
    if (!process) {
        say("🟥 Sound server: cannot start " + options.program);
        return nullptr;
    }
    server->process_ = std::move(*process);

    const auto deadline = std::chrono::steady_clock::now() + options.startTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!server->process_.running()) break;
        if (std::filesystem::exists(socket) &&
            reachable(server->address_, std::chrono::milliseconds(500))) {
            say("🟩 Sound server of our own started (pid " + std::to_string(server->pid()) +
                ", " + server->address_ + ")");
            return server;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    say("🟥 Sound server did not start; see " + spawn.logFile);
    server->stop();
    return nullptr;
}

PulseAudioServer::~PulseAudioServer() {
    stop();
}

void PulseAudioServer::stop() {
    process_.stop(std::chrono::milliseconds(2000));
    if (ownsDirectory_ && !directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
        ownsDirectory_ = false;
    }
}

}  // namespace vl
