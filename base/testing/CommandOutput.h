// base/testing: what a shell command prints on its standard output, for tests that ask an
// independent tool (pactl, xdotool, xauth, …) to witness what the code under test did.
#pragma once

#include <array>
#include <cstdio>
#include <memory>
#include <string>

namespace vl::testing {

// Everything the command wrote to standard output; empty when it could not be started. Its
// standard error goes where the test's goes unless the command redirects it.
inline std::string commandOutput(const std::string& command) {
    std::string output;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) return output;
    std::array<char, 4096> chunk;
    while (std::size_t n = std::fread(chunk.data(), 1, chunk.size(), pipe.get()))
        output.append(chunk.data(), n);
    return output;
}

}  // namespace vl::testing
