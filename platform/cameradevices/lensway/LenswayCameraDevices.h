// platform/cameradevices/lensway: the camera devices of the `lensway` daemon, reached over its
// Unix socket. The connection is made on first use and made again after it broke, so a daemon
// restarted during a session is found again by the next call.
#pragma once

#include "Lensway/LenswayWire.h"
#include "platform/cameradevices/Interface.h"

#include <chrono>
#include <filesystem>
#include <mutex>

namespace vl {

class LenswayCameraDevices final : public CameraDevices {
  public:
    // The daemon's socket; the default is lensway::socketPath().
    explicit LenswayCameraDevices(std::optional<std::filesystem::path> socket = std::nullopt);
    ~LenswayCameraDevices() override;

    std::optional<CameraDeviceID> deviceWithUID(const std::string& uid) override;
    CameraStatus setEncodedFrame(CameraDeviceID device, ByteView frame) override;
    bool hasEncodedFrameProperty(CameraDeviceID device) override;
    Settable isEncodedFrameSettable(CameraDeviceID device) override;

    // How long a write or an answer may take before the daemon counts as gone.
    static constexpr std::chrono::milliseconds ioTimeout{500};

  private:
    bool connectLocked();
    void closeLocked();

    std::mutex mutex_;
    std::optional<std::filesystem::path> socket_;
    int fd_ = -1;
    lensway::MessageReader reader_;
};

}  // namespace vl
