// Test helper: xclip as an independent program on the clipboard of a private X display — it copies
// (owning the CLIPBOARD until someone else takes it) and pastes any target.
#pragma once

#include "base/Bytes.h"
#include "base/testing/Eventually.h"
#include "platform/desktop/ChildProcess.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

namespace vl::test {

class XclipWitness {
  public:
    XclipWitness(std::string display, const std::string& name)
        : display_(std::move(display)),
          dir_(std::filesystem::temp_directory_path() /
               ("vl-xclip-" + std::to_string(::getpid()) + "-" + name)) {
        std::filesystem::create_directories(dir_);
    }
    ~XclipWitness() {
        for (auto& owner : owners_) owner.stop(std::chrono::milliseconds(1000));
        std::error_code error;
        std::filesystem::remove_all(dir_, error);
    }
    XclipWitness(const XclipWitness&) = delete;
    XclipWitness& operator=(const XclipWitness&) = delete;

    // xclip owns the clipboard with this one target, in the foreground, until we stop it.
    bool copy(const std::string& target, const Bytes& content) {
        const auto path = dir_ / ("in-" + std::to_string(owners_.size()));
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()),
                   static_cast<std::streamsize>(content.size()));
        ChildProcess::Spawn spawn;
        spawn.arguments = {"xclip", "-quiet", "-selection", "clipboard",
                           "-t",    target,   "-i",         path.string()};
        spawn.environment = environment();
        auto child = ChildProcess::start(spawn);
        if (!child) return false;
        owners_.push_back(std::move(*child));
        return true;
    }

    // What xclip pastes for the target; none when it fails.
    std::optional<Bytes> paste(const std::string& target) {
        const auto out = dir_ / "out";
        ChildProcess::Spawn spawn;
        spawn.arguments = {"sh", "-c",
                           "exec xclip -o -selection clipboard -t '" + target + "' > '" +
                               out.string() + "' 2>/dev/null"};
        spawn.environment = environment();
        auto child = ChildProcess::start(spawn);
        if (!child) return std::nullopt;
        if (!testing::eventually([&] { return !child->running(); }, std::chrono::seconds(10)))
            return std::nullopt;
        if (child->exitStatus() != 0) return std::nullopt;
        std::ifstream in(out, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

  private:
    std::vector<std::string> environment() const {
        const char* path = std::getenv("PATH");
        return {"DISPLAY=" + display_, "PATH=" + std::string(path ? path : "/usr/bin:/bin")};
    }

    std::string display_;
    std::filesystem::path dir_;
    std::vector<ChildProcess> owners_;
};

}  // namespace vl::test
