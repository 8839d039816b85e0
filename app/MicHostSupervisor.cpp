#include "app/MicHostSupervisor.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include <unistd.h>

namespace vl {

namespace {
constexpr auto pollInterval = std::chrono::milliseconds(200);
constexpr auto firstBackoff = std::chrono::milliseconds(500);
constexpr auto longestBackoff = std::chrono::milliseconds(30000);
// A host that ran this long was healthy; its death starts the backoff afresh.
constexpr auto healthyRun = std::chrono::seconds(30);
}  // namespace

std::optional<std::string> MicHostSupervisor::findHost() {
    namespace fs = std::filesystem;
    if (const char* path = std::getenv("VANTREL_MIC_HOST"); path && *path) return path;
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (!error && fs::exists(self.parent_path() / "corvane-mic-host"))
        return (self.parent_path() / "corvane-mic-host").string();
#ifdef VANTREL_MIC_HOST
    if (fs::exists(VANTREL_MIC_HOST)) return std::string(VANTREL_MIC_HOST);
#endif
    return std::nullopt;
}

MicHostSupervisor::MicHostSupervisor(std::string program, std::string logFile, Report report)
    : program_(std::move(program)), logFile_(std::move(logFile)), report_(std::move(report)) {
    {
        std::lock_guard lock(mutex_);
        launch();
    }
    watcher_ = std::thread([this] { run(); });
}

MicHostSupervisor::~MicHostSupervisor() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    watcher_.join();
    if (host_) host_->stop();
}

int MicHostSupervisor::restarts() const {
    std::lock_guard lock(mutex_);
    return restarts_;
}

bool MicHostSupervisor::launch() {
    // The host gets our environment: the sound server and the runtime folder.
    std::vector<std::string> environment;
    for (char** e = environ; e && *e; ++e) environment.emplace_back(*e);
    host_ = ChildProcess::start({{program_}, std::move(environment), logFile_});
    if (!host_) {
        report_("🟥 Cannot start the microphone host " + program_);
        return false;
    }
    return true;
}

void MicHostSupervisor::run() {
    auto backoff = firstBackoff;
    auto startedAt = std::chrono::steady_clock::now();
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        wake_.wait_for(lock, pollInterval);
        if (stopping_) break;
        if (host_ && host_->running()) continue;
        const std::string status =
            host_ && host_->exitStatus() ? std::to_string(*host_->exitStatus()) : "unknown";
        if (std::chrono::steady_clock::now() - startedAt > healthyRun) backoff = firstBackoff;
        report_("🟥 The microphone host exited (status " + status + "); restarting it in " +
                std::to_string(backoff.count()) + " ms");
        if (wake_.wait_for(lock, backoff, [this] { return stopping_; })) break;
        backoff = std::min(backoff * 2,
                           std::chrono::duration_cast<std::chrono::milliseconds>(longestBackoff));
        ++restarts_;
        startedAt = std::chrono::steady_clock::now();
        launch();
    }
}

}  // namespace vl
