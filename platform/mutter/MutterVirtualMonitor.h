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
    };

    // Shown by Mutter at the asked size; null otherwise, `error` saying why.
    static std::unique_ptr<MutterVirtualMonitor> create(std::shared_ptr<MutterBus> bus,
                                                        const Options& options, std::string* error);
    ~MutterVirtualMonitor();

    std::uint32_t displayID() const { return displayID_; }
    const std::string& connector() const { return connector_; }
    int width() const { return width_; }
    int height() const { return height_; }
    MutterRemoteSession& session() { return *session_; }
    // Mutter closed the session or left the bus, or the PipeWire stream failed.
    bool gone() const { return streamEnded_ || session_->closed(); }

    // The sink runs on the PipeWire thread for each frame with pixels; an empty one stops it.
    // Returns once no earlier sink runs any more.
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
    std::atomic<bool> streamEnded_{false};
    std::mutex sinkMutex_;
    FrameSink sink_;
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
