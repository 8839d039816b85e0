// vantrel-link: the server program. Runs the server — as a tray application on a desktop, or as a
// console program with --headless or without a display — or reads and writes its settings.
#include "app/AppDelegate.h"
#include "app/ServerEnvironment.h"
#include "app/SettingsSchema.h"
#include "app/ShellEnvironment.h"
#include "app/SystemInfo.h"
#include "app/shell/SettingsController.h"
#include "app/tray/TrayProgram.h"
#include "base/DispatchQueue.h"
#include "base/FrameTrace.h"
#include "base/Log.h"
#include "base/Logger.h"
#include "platform/defaults/Interface.h"
#include "platform/desktop/HeadlessDesktop.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

using namespace vl;

namespace {

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: vantrel-link [--config-dir DIR] [--data-dir DIR] [--no-login-item]\n"
                 "                    [--no-desktop] [--keepalive-ms N] [--headless]\n"
                 "                    [--frame-trace FILE]\n"
                 "       vantrel-link [--config-dir DIR] config get KEY\n"
                 "       vantrel-link [--config-dir DIR] config set KEY VALUE\n"
                 "       vantrel-link [--config-dir DIR] config list\n"
                 "\n"
                 "Runs the server: a headset client connects to the control port (default 8788)\n"
                 "over QUIC, authenticates with the password and shares this desktop.\n"
                 "On a desktop it shows a tray icon with the settings and the connection log;\n"
                 "--headless (or no display) runs it as a console program.\n"
                 "\n"
                 "settings keys:\n");
    for (const auto& setting : settingsSchema())
        std::fprintf(out, "  %-24s %s\n", std::string(setting.key).c_str(), setting.rule().c_str());
}

// What `config get` shows: the server's own answer for the settings it works out when unset (a
// generated password, the host's name), else the stored value or the schema's fallback.
std::string currentSetting(SystemInfo& system, const Setting& setting) {
    const std::string key(setting.key);
    if (key == SystemInfoKeys::password) return system.password();
    if (key == SystemInfoKeys::machinename) return system.machineName();
    if (key == SystemInfoKeys::controlport) return std::to_string(system.accessControlPort());
    if (key == SystemInfoKeys::keepawake) return system.keepAwake() ? "true" : "false";
    return system.defaults().string(key).value_or(std::string(setting.fallback));
}

int runConfig(SystemInfo& system, const std::vector<std::string>& args) {
    if (args.size() == 1 && args[0] == "list") {
        for (const char* key : {SystemInfoKeys::password, SystemInfoKeys::machinename,
                                SystemInfoKeys::controlport, SystemInfoKeys::keepawake})
            std::cout << key << "=" << currentSetting(system, *findSetting(key)) << "\n";
        return 0;
    }
    if ((args.size() == 2 && args[0] == "get") || (args.size() == 3 && args[0] == "set")) {
        const std::string& key = args[1];
        const auto setting = findSetting(key);
        if (!setting) {
            std::cerr << "vantrel-link: unknown settings key '" << key << "'\n";
            return 2;
        }
        if (args[0] == "get") {
            std::cout << currentSetting(system, *setting) << "\n";
            return 0;
        }
        const ParsedSetting parsed = parseSetting(*setting, args[2]);
        if (const auto* refusal = std::get_if<SettingRefusal>(&parsed)) {
            std::cerr << "vantrel-link: " << key << " " << refusal->reason << "\n";
            return 2;
        }
        if (const auto* value = std::get_if<DefaultsValue>(&parsed))
            system.defaults().set(key, *value);
        else
            system.defaults().remove(key);
        return 0;
    }
    usage(stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // Block the shutdown signals before any thread starts, so every thread inherits the mask and
    // only the waiter below receives them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A peer that went away (the X server, the sound server, a helper process) is an error on the
    // write that met it, handled there; by default it would end the whole server.
    std::signal(SIGPIPE, SIG_IGN);

    ServerOptions options;
    bool headless = false;
    std::string frameTrace;
    std::vector<std::string> rest;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--config-dir" || arg == "--data-dir") && i + 1 < argc) {
            (arg == "--config-dir" ? options.configDir : options.dataDir) = argv[++i];
        } else if (arg == "--keepalive-ms" && i + 1 < argc) {
            auto ms = parseDecimalInt(argv[++i]);
            if (!ms || *ms < 1) {
                usage(stderr);
                return 2;
            }
            options.keepaliveInterval = std::chrono::milliseconds(*ms);
        } else if (arg == "--frame-trace" && i + 1 < argc) {
            // For the latency benchmarks: each video frame's stage times, written at the end.
            frameTrace = argv[++i];
            FrameTrace::enable(std::size_t{1} << 22);
        } else if (arg == "--no-desktop") {
            options.desktop = false;
        } else if (arg == "--headless") {
            headless = true;
        } else if (arg == "--no-login-item") {
            options.loginItem = false;
        } else if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return 0;
        } else {
            rest.push_back(arg);
        }
    }

    ServerEnvironment environment(options);
    if (!rest.empty()) {
        if (rest[0] != "config") {
            usage(stderr);
            return 2;
        }
        environment.configureSettingsOnly();
        return runConfig(*environment.systemInfo(), {rest.begin() + 1, rest.end()});
    }

    // The tray needs the user's desktop; decided before our own headless desktop may start.
    const char* display = std::getenv("DISPLAY");
    const bool tray = !headless && display && *display && HeadlessDesktop::reachable(display);

    environment.startDesktop();
    environment.configureServer();
    // A first start generates the password here, where the person starting it reads the log.
    environment.systemInfo()->password();

    // A signal ends the main loop; the termination sequence then runs on the main thread.
    std::thread waiter([signals] {
        int received = 0;
        sigwait(&signals, &received);
        logMsg(std::string("Received ") + strsignal(received) + ", shutting down");
        DispatchQueue::main().async([] { DispatchQueue::stopMain(); });
    });

    int status = 0;
    if (tray) {
        status = runTrayApplication(argc, argv, [&environment] {
            auto app = environment.makeAppDelegate();
            return TrayLaunch{
                app,
                makeSettingsController(app, environment.servicesHub(), environment.systemInfo()),
                makeUserAuthenticator()};
        });
        // Quit from the menu leaves the waiter in sigwait; nothing else needs it.
        waiter.detach();
    } else {
        auto app = environment.makeAppDelegate();
        app->applicationWillFinishLaunching();
        app->applicationDidFinishLaunching();
        DispatchQueue::runMain();
        app->applicationWillTerminate();
        waiter.join();
    }
    environment.shutdown();
    if (!frameTrace.empty() && !FrameTrace::write(frameTrace))
        logMsg("🟥 cannot write the frame trace to " + frameTrace);
    Logger::shared().flush();
    return status;
}
