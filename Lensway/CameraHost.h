// Lensway: what the camera needs of the system that publishes it — the device added to and
// removed from the camera list, the stream's frames handed out, and the consumers' requests
// (start, stop, a format by index) coming back. Backends: a PipeWire video source node
// (pipewire/), a V4L2 loopback device as an extra output (v4l2/), and a fake for tests (fake/).
#pragma once

#include "Lensway/LenswayContract.h"
#include "platform/capture/PixelBuffer.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vl::lensway {

struct StreamRequests {
    std::function<void()> startStream;
    std::function<void()> stopStream;
    // A consumer asked for the format at this index.
    std::function<void(int formatIndex)> setActiveFormatIndex;
};

class CameraHost {
  public:
    virtual ~CameraHost() = default;
    // Publishes the device; the error text when it cannot.
    virtual std::optional<std::string> addDevice(StreamRequests requests) = 0;
    virtual std::optional<std::string> removeDevice() = 0;
    // One frame of the stream, stamped with the host clock in nanoseconds.
    virtual void send(const PixelBuffer& frame, std::int64_t hostTimeNanoseconds) = 0;
};

// Outputs besides the camera itself that get every frame (the V4L2 loopback device).
class FrameOutput {
  public:
    virtual ~FrameOutput() = default;
    virtual void write(const PixelBuffer& frame) = 0;
};

}  // namespace vl::lensway
