#include "platform/mutter/MutterVirtualMonitor.h"

#include "platform/mutter/MutterDisplayConfig.h"

#include <set>
#include <thread>

namespace vl {

std::uint32_t displayIDForConnector(const std::string& connector) {
    // FNV-1a; zero is no display, so it never comes out.
    std::uint32_t hash = 2166136261u;
    for (unsigned char c : connector) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash == 0 ? 1 : hash;
}

std::unique_ptr<MutterVirtualMonitor> MutterVirtualMonitor::create(std::shared_ptr<MutterBus> bus,
                                                                   const Options& options,
                                                                   std::string* error) {
    auto fail = [&](std::string why) {
        if (error) *error = std::move(why);
        return nullptr;
    };
    std::set<std::string> before;
    if (auto state = currentDisplayState(*bus, error)) {
        for (const auto& monitor : state->monitors) before.insert(monitor.connector);
    } else {
        return nullptr;
    }
    std::unique_ptr<MutterVirtualMonitor> monitor(new MutterVirtualMonitor);
    monitor->session_ = MutterRemoteSession::start(bus,
                                                   {.cursorMode = options.cursorMode,
                                                    .disableAnimations = true,
                                                    .nodeTimeout = options.timeout},
                                                   error);
    if (!monitor->session_) return nullptr;
    auto* self = monitor.get();
    monitor->stream_ = PipeWireVideoStream::connect(
        {.node = monitor->session_->pipeWireNode(),
         .width = options.width,
         .height = options.height,
         .maxFramesPerSecond = options.framesPerSecond,
         .frame = [self](const PipeWireVideoFrame& frame) { self->deliver(frame); },
         .ended = [self](const std::string&) { self->streamEnded_ = true; }},
        error);
    if (!monitor->stream_) return nullptr;
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (auto state = currentDisplayState(*bus)) {
            for (const auto& shown : state->monitors)
                if (!before.contains(shown.connector) && shown.width > 0) {
                    monitor->connector_ = shown.connector;
                    monitor->width_ = shown.width;
                    monitor->height_ = shown.height;
                }
        }
        if (!monitor->connector_.empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (monitor->connector_.empty()) return fail("Mutter showed no new monitor for the stream");
    if (monitor->width_ != options.width || monitor->height_ != options.height)
        return fail("Mutter made the monitor " + std::to_string(monitor->width_) + "x" +
                    std::to_string(monitor->height_) + " instead of " +
                    std::to_string(options.width) + "x" + std::to_string(options.height));
    monitor->displayID_ = displayIDForConnector(monitor->connector_);
    monitor->identity_ = options.identity;
    return monitor;
}

MutterVirtualMonitor::~MutterVirtualMonitor() {
    // The consumer goes first, so no frame reaches a half-destroyed monitor.
    stream_.reset();
    session_.reset();
}

void MutterVirtualMonitor::setFrameSink(FrameSink sink) {
    std::lock_guard lock(sinkMutex_);
    sink_ = std::move(sink);
    if (!sink_ || !unseen_) return;
    unseen_->pixels = unseenPixels_.data();
    sink_(*unseen_);
    unseen_.reset();
    unseenPixels_ = {};
}

void MutterVirtualMonitor::deliver(const PipeWireVideoFrame& frame) {
    std::lock_guard lock(sinkMutex_);
    if (sink_) {
        sink_(frame);
        return;
    }
    // Only while nobody captures, so a capture never pays for this copy.
    unseenPixels_.assign(frame.pixels, frame.pixels + frame.stride * std::size_t(frame.height));
    unseen_ = frame;
    unseen_->pixels = nullptr;
}

std::shared_ptr<MutterVirtualMonitor> MutterMonitors::add(
    const MutterVirtualMonitor::Options& options, std::string* error) {
    std::lock_guard adding(addMutex_);
    std::shared_ptr<MutterVirtualMonitor> monitor =
        MutterVirtualMonitor::create(bus_, options, error);
    if (!monitor) return nullptr;
    std::lock_guard lock(mutex_);
    monitors_[monitor->displayID()] = monitor;
    return monitor;
}

void MutterMonitors::remove(std::uint32_t displayID) {
    std::shared_ptr<MutterVirtualMonitor> removed;
    {
        std::lock_guard lock(mutex_);
        auto found = monitors_.find(displayID);
        if (found == monitors_.end()) return;
        removed = std::move(found->second);
        monitors_.erase(found);
    }
    // Destroyed here, outside the lock, when nobody else holds it.
}

std::shared_ptr<MutterVirtualMonitor> MutterMonitors::find(std::uint32_t displayID) const {
    std::lock_guard lock(mutex_);
    auto found = monitors_.find(displayID);
    return found == monitors_.end() ? nullptr : found->second;
}

std::vector<std::shared_ptr<MutterVirtualMonitor>> MutterMonitors::all() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<MutterVirtualMonitor>> list;
    for (const auto& [id, monitor] : monitors_) list.push_back(monitor);
    return list;
}

}  // namespace vl
