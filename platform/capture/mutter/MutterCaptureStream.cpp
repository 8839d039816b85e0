#include "platform/capture/mutter/MutterCaptureStream.h"

#include "base/CallbackGate.h"
#include "base/DispatchQueue.h"
#include "platform/capture/ColorConversion.h"
#include "platform/capture/PixelBufferPool.h"

#include <chrono>
#include <mutex>

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
    std::uint64_t generation = 0;
    std::shared_ptr<MutterVirtualMonitor> monitor;
    Clock::time_point startTime;
    std::int64_t tick = 0;
    Statistics statistics;

    // Between the PipeWire thread and the capture queue.
    std::mutex framesMutex;
    PixelBufferPool pool{5};
    std::unique_ptr<HdrConverter> hdr;
    std::shared_ptr<PixelBuffer> pending;  // converted, not yet delivered
    std::uint64_t received = 0;
    std::uint64_t skipped = 0;

    void onFrame(const PipeWireVideoFrame& frame);
    void scheduleNext(const std::shared_ptr<State>& self);
    void onTick();
    void close();
    void note(const std::string& text) const {
        if (report) report("[MutterCapture] " + text);
    }
};

void MutterCaptureStream::State::onFrame(const PipeWireVideoFrame& frame) {
    const PixelFormat format = configuration.pixelFormat;
    const ColorDescription color =
        format == PixelFormat::biPlanar420Video10 ? hdrConversionColor() : sdrConversionColor();
    std::lock_guard lock(framesMutex);
    ++received;
    // A newer frame replaces one not yet delivered, in the same buffer.
    std::shared_ptr<PixelBuffer> buffer = pending;
    if (!buffer || buffer->width != roundedUpToEven(frame.width) ||
        buffer->height != roundedUpToEven(frame.height))
        buffer =
            pool.take(roundedUpToEven(frame.width), roundedUpToEven(frame.height), format, color);
    if (!buffer) {
        if (++skipped == 1 || skipped % 100 == 0)
            note("consumer holds " + std::to_string(pool.capacity()) + " frames; skipped " +
                 std::to_string(skipped));
        return;
    }
    if (format == PixelFormat::biPlanar420Video10) {
        if (!hdr) hdr = std::make_unique<HdrConverter>();
        hdr->convert(frame.pixels, frame.stride, frame.width, frame.height, *buffer);
    } else {
        convertBGRAToNV12(frame.pixels, frame.stride, frame.width, frame.height, *buffer);
    }
    pending = std::move(buffer);
}

void MutterCaptureStream::State::scheduleNext(const std::shared_ptr<State>& self) {
    // Deadlines are start + n x interval, so lateness never shifts later frames.
    const auto interval = std::max(configuration.minimumFrameInterval, MediaTime{1'000'000});
    ++tick;
    auto deadline = startTime + tick * interval;
    const auto now = Clock::now();
    if (deadline < now) {
        tick = (now - startTime) / interval + 1;
        deadline = startTime + tick * interval;
    }
    std::weak_ptr<State> weak = self;
    const std::uint64_t expected = generation;
    queue->asyncAt(deadline, [weak, expected] {
        auto state = weak.lock();
        if (!state || !state->running || state->generation != expected) return;
        if (state->gate.isClosed()) return;
        state->onTick();
        if (state->running && state->generation == expected) state->scheduleNext(state);
    });
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
    CapturedFrame frame;
    frame.presentationTime = std::chrono::duration_cast<MediaTime>(Clock::now().time_since_epoch());
    {
        std::lock_guard lock(framesMutex);
        frame.pixelBuffer = std::move(pending);
        pending.reset();
        statistics.receivedFrames = received;
        statistics.skippedFrames = skipped;
    }
    if (frame.pixelBuffer) {
        frame.status = FrameStatus::complete;
        ++statistics.completeFrames;
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
    ++generation;
    if (monitor) monitor->setFrameSink({});
    monitor.reset();
    std::lock_guard lock(framesMutex);
    pending.reset();
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
            if (auto alive = weak.lock()) alive->onFrame(frame);
        });
        state->running = true;
        state->startTime = Clock::now();
        state->tick = 0;
        state->scheduleNext(state);
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
    state->queue->sync([&] { copy = state->statistics; });
    return copy;
}

}  // namespace vl
