// platform/audio/pulse: a sound server of our own for a desktop that has none (a bare machine,
// our headless desktop): PulseAudio in user mode with a private runtime folder, exit-idle off and
// only the native protocol module; stopped (by its process id) when the object goes.
#pragma once

#include "platform/desktop/ChildProcess.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace vl {

class PulseAudioServer {
  public:
    struct Options {
        std::string program = "pulseaudio";
        // Socket, cookie and log. Empty: a new private folder under $TMPDIR, removed at stop.
        std::string runtimeDirectory;
        std::chrono::milliseconds startTimeout{10000};
        // Started again at the same address when it dies (clients reconnect there).
        bool restartWhenDied = false;
    };
    using Report = std::function<void(const std::string&)>;

    // Started and answering, or nothing (reported).
    static std::unique_ptr<PulseAudioServer> start(Options options, Report report = {});
    ~PulseAudioServer();
    PulseAudioServer(const PulseAudioServer&) = delete;
    PulseAudioServer& operator=(const PulseAudioServer&) = delete;

    // "unix:<folder>/native": what PULSE_SERVER must say for clients to find it.
    const std::string& address() const { return address_; }
    const std::string& runtimeDirectory() const { return directory_; }
    pid_t pid() const;
    bool running();
    void stop();

    // Whether a sound server answers at the address (empty: the client library's usual lookup).
    static bool reachable(const std::string& address, std::chrono::milliseconds timeout);

  private:
    PulseAudioServer() = default;
    bool launch();
    void watch();
    void say(const std::string& text) const {
        if (report_) report_(text);
    }

    Options options_;
    Report report_;
    mutable std::mutex mutex_;  // process_ and stopping_, shared with the watcher
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread watcher_;
    ChildProcess process_;
    std::string directory_;
    std::string address_;
    std::string path_;
    bool ownsDirectory_ = false;
};

}  // namespace vl
