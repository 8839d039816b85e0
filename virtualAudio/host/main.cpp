// corvane-mic-host: plays the audio server's part for the virtual microphone driver. It loads
// the plug-in, publishes its device on the desktop's sound server while the device is shown,
// turns recorders into I/O, and serves the driver's properties to the user's own processes over
// the property channel. It exits when the sound server goes away; the server program restarts it.
#include "DriverHost.h"
#include "PropertyServer.h"
#include "PulsePublisher.h"
#include "platform/audio/Interface.h"
#include "virtualAudio/PropertyChannel.h"

#include <sys/signalfd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>

using namespace vl;
using namespace vl::michost;
namespace fs = std::filesystem;

namespace {

void report(const std::string& text) {
    std::cerr << "corvane-mic-host: " << text << std::endl;
}

fs::path defaultDriverPath() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    const fs::path folder = error ? fs::path(".") : self.parent_path();
    for (const fs::path& candidate :
         {folder / "CorvaneVisionProMic.so", folder / ".." / "lib" / "CorvaneVisionProMic.so",
          folder / ".." / "lib" / "vantrel-link" / "CorvaneVisionProMic.so"})
        if (fs::exists(candidate)) return candidate;
    return folder / "CorvaneVisionProMic.so";
}

}  // namespace

int main(int argc, char** argv) {
    fs::path driverPath = defaultDriverPath();
    fs::path socketPath = micchannel::defaultSocketPath();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--driver" && i + 1 < argc) {
            driverPath = argv[++i];
        } else if (arg == "--socket" && i + 1 < argc) {
            socketPath = argv[++i];
        } else {
            std::cerr << "usage: corvane-mic-host [--driver PATH] [--socket PATH]\n";
            return 64;
        }
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
    std::signal(SIGPIPE, SIG_IGN);

    ChangeQueue changes;
    std::string error;
    auto driver = DriverHost::load(
        driverPath.string(), [&changes](std::uint32_t selector) { changes.push(selector); },
        &error);
    if (!driver) {
        report(error + " (" + driverPath.string() + ")");
        return 2;
    }
    PulsePublisher publisher(*driver, {report, [&changes](bool) { changes.push(fourCC("gone")); }});
    if (auto problem = publisher.connect()) {
        const char* server = std::getenv("PULSE_SERVER");
        report(*problem + " (PULSE_SERVER " + (server ? server : "unset") + ")");
        return 3;
    }
    PropertyServer server(*driver, publisher, changes, report);
    if (!server.listen(socketPath)) return 4;
    report("serving the microphone on " + socketPath.string());
    switch (server.serve(signalFd)) {
        case PropertyServer::Ending::signalled:
            return 0;
        case PropertyServer::Ending::soundServerGone:
            report("the sound server went away");
            return 5;
        case PropertyServer::Ending::pollFailed:
            return 0;
    }
    return 0;
}
