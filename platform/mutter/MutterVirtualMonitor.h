// platform/mutter: a virtual monitor of Mutter — its own remote-desktop session recording one
// virtual stream, and the PipeWire consumer whose negotiated size makes the monitor that size.
// Frames go to whoever listens (the capture stream); input for the monitor goes through its
// session. Destroying it removes the monitor.
#pragma once

#include "platform/mutter/MutterBus.h"
#include "platform/mutter/MutterRemoteSession.h"
#include "platform/mutter/PipeWireVideoStream.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vl {

// Mutter's monitors have no numeric ids; ours are derived from the connector name, so every part
// of the server finds the same id for the same monitor.
std::uint32_t displayIDForConnector(const std::string& connector);

// What the server knows the monitor by; Mutter shows a vendor and product of its own for it.
struct VirtualMonitorIdentity {
    std::uint32_t vendor = 0;
    std::uint32_t model = 0;
    std::uint32_t serial = 0;
    std::string name;
};

class MutterVirtualMonitor {
  public:
    using FrameSink = std::function<void(const PipeWireVideoFrame&)>;

    struct Options {
        int width = 0;
        int height = 0;
        int framesPerSecond = 60;
        // Drawn into the frames, so that a moving cursor is a changed frame like any other.
        CursorMode cursorMode = CursorMode::embedded;
        // How long to wait for Mutter to show the monitor.
        std::chrono::milliseconds timeout{5000};
        VirtualMonitorIdentity identity{};
    };

    // Shown by Mutter at the asked size; null otherwise, `error` saying why.
    static std::unique_ptr<MutterVirtualMonitor> create(std::shared_ptr<MutterBus> bus,
                                                        const Options& options, std::string* error);
    ~MutterVirtualMonitor();

    std::uint32_t displayID() const { return displayID_; }
    const std::string& connector() const { return connector_; }
    int width() const { return width_; }
    int height() const { return height_; }
    const VirtualMonitorIdentity& identity() const { return identity_; }
    MutterRemoteSession& session() { return *session_; }
    // Mutter closed the session or left the bus, or the PipeWire stream failed.
    bool gone() const { return streamEnded_ || session_->closed(); }

    // The sink runs on the PipeWire thread for each frame with pixels; an empty one stops it.
    // Returns once no earlier sink runs any more. A new sink gets the frame that came while none
    // was set, at once on the caller's thread: Mutter sends nothing more while the monitor stays
    // still.
    void setFrameSink(FrameSink sink);

  private:
    MutterVirtualMonitor() = default;
    void deliver(const PipeWireVideoFrame& frame);

    std::unique_ptr<MutterRemoteSession> session_;
    std::unique_ptr<PipeWireVideoStream> stream_;
    std::string connector_;
    std::uint32_t displayID_ = 0;
    int width_ = 0;
    int height_ = 0;
    VirtualMonitorIdentity identity_;
    std::atomic<bool> streamEnded_{false};
    std::mutex sinkMutex_;
    FrameSink sink_;
    // The newest frame of a time without sink: its geometry, and its pixels copied.
    std::optional<PipeWireVideoFrame> unseen_;
    std::vector<std::uint8_t> unseenPixels_;
};

// The virtual monitors the server made, by display id; shared by the display, capture and input
// backends. Thread safe.
class MutterMonitors {
  public:
    explicit MutterMonitors(std::shared_ptr<MutterBus> bus) : bus_(std::move(bus)) {}

    // Made and registered; null otherwise (`error` says why).
    std::shared_ptr<MutterVirtualMonitor> add(const MutterVirtualMonitor::Options& options,
                                              std::string* error);
    // Removes it from Mutter once its last holder lets go.
    void remove(std::uint32_t displayID);
    std::shared_ptr<MutterVirtualMonitor> find(std::uint32_t displayID) const;
    std::vector<std::shared_ptr<MutterVirtualMonitor>> all() const;
    const std::shared_ptr<MutterBus>& bus() const { return bus_; }

  private:
    std::shared_ptr<MutterBus> bus_;
    std::mutex addMutex_;  // one monitor at a time, so each new connector is the one just made
    mutable std::mutex mutex_;
    std::map<std::uint32_t, std::shared_ptr<MutterVirtualMonitor>> monitors_;
};

}  // namespace vl
