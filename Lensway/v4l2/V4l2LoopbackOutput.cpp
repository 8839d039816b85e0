#include "Lensway/v4l2/V4l2LoopbackOutput.h"

#include "base/Bytes.h"
#include "base/Log.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace vl::lensway {

namespace {

std::string firstLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

std::shared_ptr<V4l2LoopbackOutput> V4l2LoopbackOutput::find(const std::string& label,
                                                             const std::filesystem::path& sysClass,
                                                             const std::filesystem::path& modules,
                                                             const std::filesystem::path& devices) {
    std::error_code error;
    if (!std::filesystem::exists(modules / "v4l2loopback", error)) {
        logMsg("lensway: no v4l2loopback module; the camera is offered through PipeWire only");
        return nullptr;
    }
    std::optional<std::filesystem::path> chosen;
    for (const auto& entry : std::filesystem::directory_iterator(sysClass, error)) {
        const std::string name = firstLine(entry.path() / "name");
        // Loopback devices have no bus device behind them.
        if (std::filesystem::exists(entry.path() / "device" / "driver", error)) continue;
        if (name == label) {
            chosen = devices / entry.path().filename();
            break;
        }
        if (!chosen) chosen = devices / entry.path().filename();
    }
    if (!chosen) {
        logMsg("lensway: v4l2loopback is loaded but offers no device");
        return nullptr;
    }
    return open(*chosen);
}

std::shared_ptr<V4l2LoopbackOutput> V4l2LoopbackOutput::open(const std::filesystem::path& device) {
    const int fd = ::open(device.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        logMsg("lensway: cannot open " + device.string() + ": " + std::strerror(errno),
               LogLevel::warning);
        return nullptr;
    }
    logMsg("lensway: frames also go to " + device.string());
    return std::shared_ptr<V4l2LoopbackOutput>(new V4l2LoopbackOutput(device, fd));
}

V4l2LoopbackOutput::~V4l2LoopbackOutput() {
    if (fd_ >= 0) ::close(fd_);
}

void V4l2LoopbackOutput::setFormat(int width, int height) {
    width_ = width;
    height_ = height;
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    format.fmt.pix.width = static_cast<__u32>(width);
    format.fmt.pix.height = static_cast<__u32>(height);
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_NV12;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    format.fmt.pix.bytesperline = static_cast<__u32>(width);
    format.fmt.pix.sizeimage = static_cast<__u32>(width * height * 3 / 2);
    format.fmt.pix.colorspace = V4L2_COLORSPACE_SMPTE170M;
    if (::ioctl(fd_, VIDIOC_S_FMT, &format) != 0)
        logMsg("lensway: " + device_.string() + " took no format (" + std::strerror(errno) +
               "); writing frames anyway");
}

void V4l2LoopbackOutput::write(const PixelBuffer& frame) {
    std::lock_guard lock(mutex_);
    if (fd_ < 0 || frame.planes.size() < 2) return;
    if (frame.width != width_ || frame.height != height_) setFormat(frame.width, frame.height);
    // One frame is one write: the luma rows, then the interleaved chroma rows, tightly packed.
    Bytes image;
    image.reserve(static_cast<std::size_t>(frame.width) * frame.height * 3 / 2);
    for (int index = 0; index < 2; ++index) {
        const PixelPlane& plane = frame.planes[static_cast<std::size_t>(index)];
        const std::size_t rowBytes = static_cast<std::size_t>(plane.width) * (index == 1 ? 2 : 1);
        for (int row = 0; row < plane.height; ++row) {
            const auto begin =
                plane.bytes.begin() + static_cast<std::ptrdiff_t>(row * plane.bytesPerRow);
            image.insert(image.end(), begin, begin + static_cast<std::ptrdiff_t>(rowBytes));
        }
    }
    const ssize_t written = ::write(fd_, image.data(), image.size());
    if (written != static_cast<ssize_t>(image.size()) && !reportedFailure_) {
        reportedFailure_ = true;
        logMsg("lensway: writing a frame to " + device_.string() +
                   " failed: " + (written < 0 ? std::strerror(errno) : std::string("short write")),
               LogLevel::warning);
    }
}

}  // namespace vl::lensway
