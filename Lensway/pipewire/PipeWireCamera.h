// Lensway/pipewire: the camera as a PipeWire video source node, "Corvane Persona Camera", offering
// NV12 at 1280x720 and 1920x1080, 25 fps. The consumer's negotiated size selects the active
// format; the node streaming or pausing is the stream's start and stop. The node is a driver
// paced by the device's frame timer: each frame sent triggers one graph cycle.
#pragma once

#include "Lensway/CameraHost.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;

namespace vl::lensway {

class PipeWireCamera final : public CameraHost {
  public:
    static constexpr const char* nodeName = "corvane-persona-camera";

    // Connected to the user's PipeWire; none (with the reason) when it cannot be reached.
    static std::unique_ptr<PipeWireCamera> create(std::string* error);
    ~PipeWireCamera() override;

    std::optional<std::string> addDevice(StreamRequests requests) override;
    std::optional<std::string> removeDevice() override;
    void send(const PixelBuffer& frame, std::int64_t hostTimeNanoseconds) override;

    struct Impl;

  private:
    PipeWireCamera();
    std::unique_ptr<Impl> impl_;
};

}  // namespace vl::lensway
