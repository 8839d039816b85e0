// Lensway: the server program's way into the camera device — a Unix socket in the user's runtime
// folder on which the server looks the device up by UID and writes its encoded-frame property
// (one access unit per message). Only processes of this user are served (peer credentials). One
// thread serves every connection, so property writes are handled one at a time, in order.
#pragma once

#include "base/Bytes.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace vl::lensway {

class FrameSocketServer {
  public:
    static constexpr std::uint32_t deviceID = 1;
    // A property write: an access unit, or none for a value that is no frame.
    using PropertyHandler = std::function<void(std::optional<ByteView> value)>;

    // Whether the device is shown now: a hidden device is not found by its UID, as a device the
    // system has not published is not.
    using ShownQuery = std::function<bool()>;

    // Listens at `path` (its folder made private to the user). None, with the reason, when the
    // socket cannot be made or another daemon already answers on it.
    static std::unique_ptr<FrameSocketServer> start(
        const std::filesystem::path& path, PropertyHandler handler, std::string* error,
        ShownQuery shown = [] { return true; });
    ~FrameSocketServer();

    // Connections refused because they came from another user.
    int refusedPeers() const { return refusedPeers_; }
    // Replaces the uid connections must have (tests play a stranger with it).
    void setAllowedUidForTesting(unsigned uid) { allowedUid_ = uid; }

  private:
    FrameSocketServer(std::filesystem::path path, int listenFd, int wakeFd, PropertyHandler handler,
                      ShownQuery shown);
    void run();

    const std::filesystem::path path_;
    const int listenFd_;
    const int wakeFd_;
    const PropertyHandler handler_;
    const ShownQuery shown_;
    std::atomic<unsigned> allowedUid_;
    std::atomic<int> refusedPeers_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace vl::lensway
