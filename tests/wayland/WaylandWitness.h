// tests/wayland: the GTK 3 witness (witness.py) on a private Mutter — a fullscreen window of one
// colour that prints the input it receives.
#pragma once

#include "platform/desktop/ChildProcess.h"
#include "tests/wayland/Eventually.h"
#include "tests/wayland/PrivateMutter.h"

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <signal.h>

namespace vl::testing {

class WaylandWitness {
  public:
    // `extra`: further arguments of witness.py (its clipboard side).
    WaylandWitness(const PrivateMutter& desktop, int red, int green, int blue,
                   std::vector<std::string> extra = {}) {
        // A log of its own: a test may run several witnesses at once.
        static std::atomic<int> made{0};
        log_ = desktop.runtimeDirectory() + "/witness" + std::to_string(made++) + ".log";
        auto environment = desktop.clientEnvironment();
        environment.push_back("GDK_BACKEND=wayland");
        // No accessibility bus here: GTK would wait for it on start.
        environment.push_back("NO_AT_BRIDGE=1");
        // Debian's python, which has the GObject bindings, whatever python PATH finds first.
        std::vector<std::string> arguments = {"/usr/bin/python3", VL_WAYLAND_WITNESS,
                                              std::to_string(red), std::to_string(green),
                                              std::to_string(blue)};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        auto child = ChildProcess::start({.arguments = std::move(arguments),
                                          .environment = environment,
                                          .logFile = log_,
                                          .passFd = -1});
        if (child) process_ = std::move(*child);
    }
    std::string output() const {
        std::ifstream file(log_);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
    bool said(const std::string& line) const { return output().find(line) != std::string::npos; }
    pid_t pid() const { return process_.pid(); }
    // See witness.py: SIGUSR1 minimises its first window, SIGUSR2 closes its newest one.
    void signal(int number) const { ::kill(process_.pid(), number); }

  private:
    std::string log_;
    ChildProcess process_;
};

}  // namespace vl::testing
