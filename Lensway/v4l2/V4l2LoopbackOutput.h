// Lensway/v4l2: most desktop applications read cameras through V4L2, not PipeWire; where the
// v4l2loopback module provides a device, every frame is written there too. Its absence is no
// error: it is reported once.
#pragma once

#include "Lensway/CameraHost.h"

#include <filesystem>
#include <memory>
#include <mutex>

namespace vl::lensway {

class V4l2LoopbackOutput final : public FrameOutput {
  public:
    // The loopback device named `label` (or the first loopback device) under the sysfs class
    // folder; none when the module is not loaded. `modules` and `devices` are /sys/module and
    // /dev on the machine; tests give folders of their own.
    static std::shared_ptr<V4l2LoopbackOutput> find(
        const std::string& label, const std::filesystem::path& sysClass = "/sys/class/video4linux",
        const std::filesystem::path& modules = "/sys/module",
        const std::filesystem::path& devices = "/dev");
    // Writes to this device node (or any file, for tests).
    static std::shared_ptr<V4l2LoopbackOutput> open(const std::filesystem::path& device);
    ~V4l2LoopbackOutput() override;

    void write(const PixelBuffer& frame) override;
    const std::filesystem::path& device() const { return device_; }

  private:
    V4l2LoopbackOutput(std::filesystem::path device, int fd)
        : device_(std::move(device)), fd_(fd) {}
    void setFormat(int width, int height);

    const std::filesystem::path device_;
    std::mutex mutex_;
    int fd_ = -1;
    int width_ = 0;
    int height_ = 0;
    bool reportedFailure_ = false;
};

}  // namespace vl::lensway
