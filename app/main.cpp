// vantrel-link: the server program. Runs the server — as a tray application on a desktop, or as a
// console program with --headless or without a display — or reads and writes its settings.
#include "app/AppDelegate.h"
#include "app/ServerEnvironment.h"
#include "app/ShellEnvironment.h"
#include "app/SystemInfo.h"
#include "app/shell/SettingsController.h"
#include "app/tray/TrayProgram.h"
#include "base/DispatchQueue.h"
#include "base/FrameTrace.h"
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
                 "settings keys: password, machinename, controlport, keepawake, commandkey,\n"
                 "               scrollpixelsperclick, accessibilitytimeoutms,\n"
                 "               desktopsession (e.g. startxfce4)\n");
}

int runConfig(const std::vector<std::string>& args) {
    auto& defaults = SystemInfo::defaults();
    if (args.size() == 1 && args[0] == "list") {
        std::cout << "password=" << SystemInfo::password() << "\n"
                  << "machinename=" << SystemInfo::machineName() << "\n"
                  << "controlport=" << SystemInfo::accessControlPort() << "\n"
                  << "keepawake=" << (SystemInfo::keepAwake() ? "true" : "false") << "\n";
        return 0;
    }
    if (args.size() == 2 && args[0] == "get") {
        const std::string& key = args[1];
        if (key == SystemInfoKeys::password)
            std::cout << SystemInfo::password() << "\n";
        else if (key == SystemInfoKeys::machinename)
            std::cout << SystemInfo::machineName() << "\n";
        else if (key == SystemInfoKeys::controlport)
            std::cout << SystemInfo::accessControlPort() << "\n";
        else if (key == SystemInfoKeys::keepawake)
            std::cout << (SystemInfo::keepAwake() ? "true" : "false") << "\n";
        else if (key == "commandkey")
            std::cout << defaults.string(key).value_or("control") << "\n";
        else if (key == "scrollpixelsperclick")
            std::cout << defaults.string(key).value_or("50") << "\n";
        else if (key == "accessibilitytimeoutms")
            std::cout << defaults.string(key).value_or("10") << "\n";
        else if (key == "desktopsession")
            std::cout << defaults.string(key).value_or("") << "\n";
        else {
            std::cerr << "vantrel-link: unknown settings key '" << key << "'\n";
            return 2;
        }
        return 0;
    }
    if (args.size() == 3 && args[0] == "set") {
        const std::string& key = args[1];
        const std::string& value = args[2];
        if (key == SystemInfoKeys::password || key == SystemInfoKeys::machinename) {
            if (value.empty()) {
                std::cerr << "vantrel-link: " << key << " must not be empty\n";
                return 2;
            }
            defaults.set(key, value);
        } else if (key == SystemInfoKeys::controlport) {
            auto port = parseDecimalInt(value);
            if (!port || *port < 1 || *port > 65526) {
                // The nine ports from P to P + 9 must all exist.
                std::cerr << "vantrel-link: controlport must be a number from 1 to 65526\n";
                return 2;
            }
            defaults.set(key, std::to_string(*port));
        } else if (key == SystemInfoKeys::keepawake) {
            if (value != "true" && value != "false") {
                std::cerr << "vantrel-link: keepawake is true or false\n";
                return 2;
            }
            defaults.set(key, value == "true");
        } else if (key == "commandkey") {
            if (value != "control" && value != "super") {
                std::cerr << "vantrel-link: commandkey is control or super\n";
                return 2;
            }
            defaults.set(key, value);
        } else if (key == "desktopsession") {
            // The command our own headless desktop runs as its session; empty: ours.
            if (value.empty())
                defaults.remove(key);
            else
                defaults.set(key, value);
        } else if (key == "scrollpixelsperclick") {
            auto pixels = parseDecimalInt(value);
            if (!pixels || *pixels < 1 || *pixels > 10000) {
                std::cerr << "vantrel-link: scrollpixelsperclick is a number from 1 to 10000\n";
                return 2;
            }
            defaults.set(key, std::to_string(*pixels));
        } else if (key == "accessibilitytimeoutms") {
            auto milliseconds = parseDecimalInt(value);
            if (!milliseconds || *milliseconds < 1 || *milliseconds > 2000) {
                std::cerr << "vantrel-link: accessibilitytimeoutms is a number from 1 to 2000\n";
                return 2;
            }
            defaults.set(key, std::to_string(*milliseconds));
        } else {
            std::cerr << "vantrel-link: unknown settings key '" << key << "'\n";
            return 2;
        }
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
        return runConfig({rest.begin() + 1, rest.end()});
    }

    // The tray needs the user's desktop; decided before our own headless desktop may start.
    const char* display = std::getenv("DISPLAY");
    const bool tray = !headless && display && *display && HeadlessDesktop::reachable(display);

    environment.startDesktop();
    environment.configureServer();
    // A first start generates the password here, where the person starting it reads the log.
    SystemInfo::password();

    // A signal ends the main loop; the termination sequence then runs on the main thread.
    std::thread waiter([signals] {
        int received = 0;
        sigwait(&signals, &received);
        SystemInfo::logMsg(std::string("Received ") + strsignal(received) + ", shutting down");
        DispatchQueue::main().async([] { DispatchQueue::stopMain(); });
    });

    int status = 0;
    if (tray) {
        status = runTrayApplication(argc, argv, [&environment] {
            auto app = environment.makeAppDelegate();
            return TrayLaunch{app, makeSettingsController(app), makeUserAuthenticator()};
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
        SystemInfo::logMsg("🟥 cannot write the frame trace to " + frameTrace);
    Logger::shared().flush();
    return status;
}
