#include "platform/capture/mutter/MutterCaptureStream.h"

#include "base/CallbackGate.h"
#include "base/DispatchQueue.h"
#include "base/FrameTrace.h"
#include "platform/capture/ColorConversion.h"
#include "platform/capture/FramePacer.h"
#include "platform/capture/PixelBufferPool.h"

#include <chrono>
#include <mutex>
#include <vector>

namespace vl {

struct MutterCaptureStream::State {
    // Fixed at creation.
    std::shared_ptr<MutterMonitors> monitors;
    DisplayID display = 0;
    StreamConfiguration configuration;
    std::shared_ptr<DispatchQueue> queue;
    CaptureStreamOutput output;
    Report report;
    CallbackGate gate;

    // On the capture queue.
    bool running = false;
    std::shared_ptr<MutterVirtualMonitor> monitor;
    FramePacer pacer;
    Statistics statistics;

    // Between the PipeWire thread and the capture queue.
    std::mutex framesMutex;
    PixelBufferPool pool{5};
    std::unique_ptr<HdrConverter> hdr;
    std::shared_ptr<PixelBuffer> pending;  // converted, not yet delivered
    Clock::time_point pendingArrived, pendingConverted;
    // The newest frame while the consumer held every buffer, unconverted: Mutter sends nothing
    // more while the monitor stays still, so it is converted once a buffer is free again.
    std::vector<std::uint8_t> held;
    PipeWireVideoFrame heldFrame;
    Clock::time_point heldArrived;
    bool holding = false;
    std::uint64_t received = 0;
    std::uint64_t skipped = 0;

    void onFrame(const std::shared_ptr<State>& self, const PipeWireVideoFrame& frame);
    bool convert(const PipeWireVideoFrame& frame, Clock::time_point arrived);
    void onTick();
    void close();
    void note(const std::string& text) const {
        if (report) report("[MutterCapture] " + text);
    }
};

// Under framesMutex: into `pending` (a newer frame replaces one not yet delivered, in the same
// buffer); false while the consumer holds every buffer.
bool MutterCaptureStream::State::convert(const PipeWireVideoFrame& frame,
                                         Clock::time_point arrived) {
    const PixelFormat format = configuration.pixelFormat;
    const ColorDescription color =
        format == PixelFormat::biPlanar420Video10 ? hdrConversionColor() : sdrConversionColor();
    const int width = roundedUpToEven(frame.width);
    const int height = roundedUpToEven(frame.height);
    std::shared_ptr<PixelBuffer> buffer = pending;
    if (!buffer || buffer->width != width || buffer->height != height)
        buffer = pool.take(width, height, format, color);
    if (!buffer) return false;
    if (format == PixelFormat::biPlanar420Video10) {
        if (!hdr) hdr = std::make_unique<HdrConverter>();
        hdr->convert(frame.pixels, frame.stride, frame.width, frame.height, *buffer);
    } else {
        convertBGRAToNV12(frame.pixels, frame.stride, frame.width, frame.height, *buffer);
    }
    pending = std::move(buffer);
    pendingArrived = arrived;
    pendingConverted = Clock::now();
    return true;
}

void MutterCaptureStream::State::onFrame(const std::shared_ptr<State>& self,
                                         const PipeWireVideoFrame& frame) {
    const auto arrived = Clock::now();
    bool wake = false;
    {
        std::lock_guard lock(framesMutex);
        ++received;
        const bool waiting = pending != nullptr;
        if (convert(frame, arrived)) {
            holding = false;
            // A frame already waiting has woken the capture queue.
            wake = !waiting;
        } else {
            if (++skipped == 1 || skipped % 100 == 0)
                note("consumer holds " + std::to_string(pool.capacity()) + " frames; skipped " +
                     std::to_string(skipped));
            held.assign(frame.pixels, frame.pixels + frame.stride * std::size_t(frame.height));
            heldFrame = frame;
            heldFrame.pixels = nullptr;
            heldArrived = arrived;
            holding = true;
        }
    }
    // The change goes out now unless a frame went out less than an interval ago.
    if (wake) {
        std::weak_ptr<State> weak = self;
        queue->async([weak] {
            auto state = weak.lock();
            if (state && state->running && !state->gate.isClosed()) state->pacer.changed();
        });
    }
}

void MutterCaptureStream::State::onTick() {
    if (monitor && monitor->gone()) {
        close();
        gate.pass([&] {
            if (output.didStopWithError)
                output.didStopWithError(CaptureError{CaptureErrorCode::connectionFailed,
                                                     "the virtual monitor's stream ended"});
        });
        return;
    }
    const auto woke = Clock::now();
    CapturedFrame frame;
    frame.presentationTime = std::chrono::duration_cast<MediaTime>(woke.time_since_epoch());
    Clock::time_point arrived, converted;
    {
        std::lock_guard lock(framesMutex);
        if (!pending && holding) {
            heldFrame.pixels = held.data();
            if (convert(heldFrame, heldArrived)) holding = false;
            heldFrame.pixels = nullptr;
        }
        frame.pixelBuffer = std::move(pending);
        pending.reset();
        arrived = pendingArrived;
        converted = pendingConverted;
        statistics.receivedFrames = received;
        statistics.skippedFrames = skipped;
    }
    if (frame.pixelBuffer) {
        frame.status = FrameStatus::complete;
        ++statistics.completeFrames;
        pacer.frameCompleted(woke);
        if (FrameTrace::enabled()) {
            // Mutter's buffer arriving stands for the tick and the grab; the wait for a tick, if
            // any, shows before the encoder takes the frame.
            const auto key = static_cast<std::uint64_t>(frame.presentationTime.count());
            FrameTrace::mark(FrameStage::captureTick, key, arrived);
            FrameTrace::mark(FrameStage::grabbed, key, arrived);
            FrameTrace::mark(FrameStage::converted, key, converted);
        }
    } else {
        frame.status = FrameStatus::idle;
        ++statistics.idleFrames;
    }
    gate.pass([&] {
        if (output.didOutputFrame) output.didOutputFrame(frame);
    });
}

void MutterCaptureStream::State::close() {
    running = false;
    pacer.stop();
    if (monitor) monitor->setFrameSink({});
    monitor.reset();
    std::lock_guard lock(framesMutex);
    pending.reset();
    holding = false;
    held = {};
}

MutterCaptureStream::MutterCaptureStream(std::shared_ptr<MutterMonitors> monitors,
                                         DisplayID display,
                                         const StreamConfiguration& configuration,
                                         DispatchQueue& captureQueue, CaptureStreamOutput output,
                                         Report report)
    : state_(std::make_shared<State>()) {
    state_->monitors = std::move(monitors);
    state_->display = display;
    state_->configuration = configuration;
    state_->queue = captureQueue.retain();
    state_->output = std::move(output);
    state_->report = std::move(report);
    state_->pool = PixelBufferPool(configuration.queueDepth);
    state_->pacer = FramePacer(state_->queue, configuration.minimumFrameInterval);
}

MutterCaptureStream::~MutterCaptureStream() {
    state_->gate.close();
    // The frame sink holds only a weak reference; detaching it here stops conversions at once.
    if (auto monitor = state_->monitors->find(state_->display)) monitor->setFrameSink({});
    state_->queue->async([state = state_] { state->close(); });
}

void MutterCaptureStream::start(CaptureCompletion completion) {
    auto state = state_;
    state->queue->async([state, completion = std::move(completion)] {
        if (state->gate.isClosed()) {
            if (completion)
                completion(
                    CaptureError{CaptureErrorCode::notRunning, "released before it started"});
            return;
        }
        if (state->running) {
            if (completion) completion(CaptureError{CaptureErrorCode::alreadyRunning, {}});
            return;
        }
        state->monitor = state->monitors->find(state->display);
        if (!state->monitor) {
            if (completion)
                completion(CaptureError{CaptureErrorCode::displayNotFound,
                                        std::to_string(state->display)});
            return;
        }
        std::weak_ptr<State> weak = state;
        state->monitor->setFrameSink([weak](const PipeWireVideoFrame& frame) {
            if (auto alive = weak.lock()) alive->onFrame(alive, frame);
        });
        state->running = true;
        state->pacer.start([weak] {
            auto alive = weak.lock();
            if (alive && alive->running && !alive->gate.isClosed()) alive->onTick();
        });
        if (completion) completion(std::nullopt);
    });
}

void MutterCaptureStream::stop(CaptureCompletion completion) {
    auto state = state_;
    state->queue->async([state, completion = std::move(completion)] {
        const bool wasRunning = state->running;
        state->close();
        if (completion)
            completion(wasRunning ? std::nullopt
                                  : std::optional<CaptureError>(
                                        CaptureError{CaptureErrorCode::notRunning, {}}));
    });
}

MutterCaptureStream::Statistics MutterCaptureStream::statistics() const {
    Statistics copy;
    auto state = state_;
    state->queue->sync([&] {
        copy = state->statistics;
        copy.changeTicks = state->pacer.changeTicks();
    });
    return copy;
}

}  // namespace vl
