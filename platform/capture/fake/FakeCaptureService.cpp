#include "platform/capture/fake/FakeCaptureService.h"

#include "base/CallbackGate.h"
#include "base/DispatchQueue.h"
#include "platform/capture/PixelBufferPool.h"

#include <algorithm>
#include <utility>

namespace vl {

void fillTestPattern(PixelBuffer& buffer, std::uint64_t frameNumber) {
    const bool tenBit = buffer.format == PixelFormat::biPlanar420Video10;
    const int shift = static_cast<int>(frameNumber * 4);
    auto put = [&](PixelPlane& plane, int x, int y, int value8) {
        // Video range: 16 … 235 for every sample keeps the picture legal.
        const int legal = 16 + value8 * 219 / 255;
        if (tenBit) {
            const auto word = static_cast<std::uint16_t>((legal << 2) << 6);
            auto* row = plane.bytes.data() + static_cast<std::size_t>(y) * plane.bytesPerRow;
            row[2 * x] = static_cast<std::uint8_t>(word & 0xff);
            row[2 * x + 1] = static_cast<std::uint8_t>(word >> 8);
        } else {
            plane.bytes[static_cast<std::size_t>(y) * plane.bytesPerRow + x] =
                static_cast<std::uint8_t>(legal);
        }
    };
    PixelPlane& luma = buffer.planes[0];
    for (int y = 0; y < luma.height; ++y) {
        for (int x = 0; x < luma.width; ++x) put(luma, x, y, (x + y + shift) & 0xff);
    }
    PixelPlane& chroma = buffer.planes[1];
    for (int y = 0; y < chroma.height; ++y) {
        for (int x = 0; x < chroma.width; ++x) {
            put(chroma, 2 * x, y, (x * 255) / std::max(1, chroma.width - 1));
            put(chroma, 2 * x + 1, y, (y * 255) / std::max(1, chroma.height - 1));
        }
    }
}

struct FakeCaptureService::StreamState {
    DisplayID display = 0;
    StreamConfiguration configuration;
    std::shared_ptr<DispatchQueue> captureQueue;
    CaptureStreamOutput output;
    // Closed when the stream is released: no output starts after that.
    CallbackGate gate;
    std::weak_ptr<Shared> service;
    // Touched on the capture queue only.
    bool running = false;
    std::uint64_t frameNumber = 0;
    PixelBufferPool pool{5};
    Clock::time_point nextDeadline;
};

struct FakeCaptureService::Shared {
    mutable std::mutex mutex;
    std::vector<ShareableDisplay> displays;
    std::optional<CaptureError> shareableContentError;
    std::optional<CaptureError> startError;
    bool automaticFrames = false;
    int streamsMade = 0;
    std::map<DisplayID, StreamConfiguration> lastConfigurations;
    std::vector<std::weak_ptr<StreamState>> streams;

    std::optional<ShareableDisplay> display(DisplayID id) const {
        for (const auto& d : displays) {
            if (d.displayID == id) return d;
        }
        return std::nullopt;
    }
};

namespace {

// Runs on the capture queue.
bool deliver(FakeCaptureService::StreamState& state, FrameStatus status,
             std::optional<ShareableDisplay> display) {
    if (!state.running) return false;
    CapturedFrame frame;
    frame.status = status;
    frame.presentationTime = std::chrono::duration_cast<MediaTime>(Clock::now().time_since_epoch());
    if (status == FrameStatus::complete) {
        // The display's current size, or the configured one when the display has gone.
        int width = display ? display->width : state.configuration.width;
        int height = display ? display->height : state.configuration.height;
        width = roundedUpToEven(width);
        height = roundedUpToEven(height);
        const ColorDescription color =
            state.configuration.pixelFormat == PixelFormat::biPlanar420Video10
                ? ColorDescription{ColorPrimaries::bt2020, TransferFunction::pq,
                                   YCbCrMatrix::bt2020, false}
                : ColorDescription{};
        auto buffer = state.pool.take(width, height, state.configuration.pixelFormat, color);
        if (!buffer) return false;
        fillTestPattern(*buffer, state.frameNumber++);
        frame.pixelBuffer = buffer;
    }
    return state.gate.pass([&] {
        if (state.output.didOutputFrame) state.output.didOutputFrame(frame);
    });
}

void scheduleAutomatic(const std::shared_ptr<FakeCaptureService::StreamState>& state) {
    state->nextDeadline += state->configuration.minimumFrameInterval;
    std::weak_ptr<FakeCaptureService::StreamState> weak = state;
    state->captureQueue->asyncAt(state->nextDeadline, [weak] {
        auto state = weak.lock();
        if (!state || !state->running) return;
        std::optional<ShareableDisplay> display;
        if (auto service = state->service.lock()) {
            std::lock_guard lock(service->mutex);
            display = service->display(state->display);
        }
        deliver(*state, FrameStatus::complete, display);
        scheduleAutomatic(state);
    });
}

class FakeCaptureStream : public CaptureStream {
  public:
    explicit FakeCaptureStream(std::shared_ptr<FakeCaptureService::StreamState> state)
        : state_(std::move(state)) {}

    // Never waits on the capture queue: the stop is queued behind the stream's other blocks.
    ~FakeCaptureStream() override {
        state_->gate.close();
        state_->captureQueue->async([state = state_] { state->running = false; });
    }

    void start(CaptureCompletion completion) override {
        auto state = state_;
        state->captureQueue->async([state, completion = std::move(completion)] {
            std::optional<CaptureError> error;
            bool automatic = false;
            if (state->gate.isClosed()) {
                error = CaptureError{CaptureErrorCode::notRunning, "released before it started"};
            } else if (state->running) {
                error = CaptureError{CaptureErrorCode::alreadyRunning, {}};
            } else if (auto service = state->service.lock()) {
                std::lock_guard lock(service->mutex);
                if (service->startError) {
                    error = std::exchange(service->startError, std::nullopt);
                } else if (!service->display(state->display)) {
                    error = CaptureError{CaptureErrorCode::displayNotFound,
                                         std::to_string(state->display)};
                }
                automatic = service->automaticFrames;
            } else {
                error = CaptureError{CaptureErrorCode::connectionFailed, "service gone"};
            }
            if (!error) {
                state->running = true;
                if (automatic) {
                    state->nextDeadline = Clock::now();
                    scheduleAutomatic(state);
                }
            }
            if (completion) completion(error);
        });
    }

    void stop(CaptureCompletion completion) override {
        auto state = state_;
        state->captureQueue->async([state, completion = std::move(completion)] {
            std::optional<CaptureError> error;
            if (!state->running) error = CaptureError{CaptureErrorCode::notRunning, {}};
            state->running = false;
            if (completion) completion(error);
        });
    }

  private:
    std::shared_ptr<FakeCaptureService::StreamState> state_;
};

}  // namespace

FakeCaptureService::FakeCaptureService() : shared_(std::make_shared<Shared>()) {}
FakeCaptureService::~FakeCaptureService() = default;

std::vector<ShareableDisplay> FakeCaptureService::shareableDisplays(
    std::optional<CaptureError>* error) {
    std::lock_guard lock(shared_->mutex);
    if (shared_->shareableContentError) {
        if (error) *error = std::exchange(shared_->shareableContentError, std::nullopt);
        shared_->shareableContentError.reset();
        return {};
    }
    if (error) error->reset();
    return shared_->displays;
}

std::unique_ptr<CaptureStream> FakeCaptureService::makeStream(
    DisplayID display, const StreamConfiguration& configuration, DispatchQueue& captureQueue,
    CaptureStreamOutput output) {
    auto state = std::make_shared<StreamState>();
    state->display = display;
    state->configuration = configuration;
    state->configuration.width = roundedUpToEven(configuration.width);
    state->configuration.height = roundedUpToEven(configuration.height);
    state->captureQueue = captureQueue.retain();
    state->output = std::move(output);
    state->service = shared_;
    state->pool = PixelBufferPool(configuration.queueDepth);
    std::lock_guard lock(shared_->mutex);
    ++shared_->streamsMade;
    shared_->lastConfigurations[display] = configuration;
    std::erase_if(shared_->streams, [](const auto& weak) { return weak.expired(); });
    shared_->streams.push_back(state);
    return std::make_unique<FakeCaptureStream>(state);
}

void FakeCaptureService::setDisplays(std::vector<ShareableDisplay> displays) {
    std::lock_guard lock(shared_->mutex);
    shared_->displays = std::move(displays);
}

void FakeCaptureService::resizeDisplay(DisplayID display, int width, int height) {
    std::lock_guard lock(shared_->mutex);
    for (auto& d : shared_->displays) {
        if (d.displayID == display) {
            d.width = width;
            d.height = height;
        }
    }
}

void FakeCaptureService::failShareableContent(std::optional<CaptureError> error) {
    std::lock_guard lock(shared_->mutex);
    shared_->shareableContentError = std::move(error);
}

void FakeCaptureService::failNextStart(std::optional<CaptureError> error) {
    std::lock_guard lock(shared_->mutex);
    shared_->startError = std::move(error);
}

void FakeCaptureService::setAutomaticFrames(bool enabled) {
    std::lock_guard lock(shared_->mutex);
    shared_->automaticFrames = enabled;
}

int FakeCaptureService::emitFrame(DisplayID display, FrameStatus status) {
    std::vector<std::shared_ptr<StreamState>> targets;
    std::optional<ShareableDisplay> current;
    {
        std::lock_guard lock(shared_->mutex);
        current = shared_->display(display);
        for (const auto& weak : shared_->streams) {
            if (auto state = weak.lock(); state && state->display == display) {
                targets.push_back(state);
            }
        }
    }
    int delivered = 0;
    for (const auto& state : targets) {
        state->captureQueue->sync([&] {
            if (deliver(*state, status, current)) ++delivered;
        });
    }
    return delivered;
}

void FakeCaptureService::stopStreamsWithError(DisplayID display, const CaptureError& error) {
    std::vector<std::shared_ptr<StreamState>> targets;
    {
        std::lock_guard lock(shared_->mutex);
        for (const auto& weak : shared_->streams) {
            if (auto state = weak.lock(); state && state->display == display) {
                targets.push_back(state);
            }
        }
    }
    for (const auto& state : targets) {
        state->captureQueue->sync([&] {
            if (!state->running) return;
            state->running = false;
            state->gate.pass([&] {
                if (state->output.didStopWithError) state->output.didStopWithError(error);
            });
        });
    }
}

int FakeCaptureService::runningStreamCount(DisplayID display) const {
    std::vector<std::shared_ptr<StreamState>> targets;
    {
        std::lock_guard lock(shared_->mutex);
        for (const auto& weak : shared_->streams) {
            if (auto state = weak.lock(); state && state->display == display) {
                targets.push_back(state);
            }
        }
    }
    int running = 0;
    for (const auto& state : targets) {
        state->captureQueue->sync([&] { running += state->running ? 1 : 0; });
    }
    return running;
}

std::optional<StreamConfiguration> FakeCaptureService::lastConfiguration(DisplayID display) const {
    std::lock_guard lock(shared_->mutex);
    auto it = shared_->lastConfigurations.find(display);
    if (it == shared_->lastConfigurations.end()) return std::nullopt;
    return it->second;
}

int FakeCaptureService::streamsMade() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->streamsMade;
}

}  // namespace vl
