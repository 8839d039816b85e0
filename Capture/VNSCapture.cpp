#include "Capture/VNSCapture.h"

#include "Capture/AnnexB.h"
#include "base/FrameTrace.h"
#include "base/Log.h"

#include <array>
#include <cstdio>

namespace vl {

namespace {

void log(const std::string& message) {
    logMsg("[VNSCapture] " + message);
}

const char* text(bool value) {
    return value ? "true" : "false";
}

std::string oneDecimal(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", value);
    return buffer;
}

std::string sizeText(int width, int height) {
    return std::to_string(width) + "×" + std::to_string(height);
}

constexpr std::array<EncoderTier, 4> encoderTiers = {EncoderTier::hwLowLatency, EncoderTier::hwOnly,
                                                     EncoderTier::hwPreferred,
                                                     EncoderTier::software};

bool requiresHardware(EncoderTier tier) {
    return tier == EncoderTier::hwLowLatency || tier == EncoderTier::hwOnly;
}

}  // namespace

std::string VNSCaptureError::description() const {
    switch (code) {
        case Code::displayNotFound:
            return "Display " + std::to_string(id) + " not found in shareable content.";
        case Code::windowNotFound:
            return "Window " + std::to_string(id) + " not found in shareable content.";
        case Code::encoderCreationFailed:
            return "VTCompressionSession creation failed: " + std::to_string(status);
        case Code::captureStartFailed:
            return "SCStream start failed: " + underlying;
        case Code::noHandlerSet:
            return "Cannot switch capture: no handler set.";
    }
    return "unknown capture error";
}

// MARK: - Creation

std::shared_ptr<VNSCapture> VNSCapture::make(VNSCaptureConfig config,
                                             VideoCaptureServices services) {
    return std::shared_ptr<VNSCapture>(new VNSCapture(config, std::move(services)));
}

VNSCapture::VNSCapture(VNSCaptureConfig config, VideoCaptureServices services)
    : config_(config),
      services_(std::move(services)),
      // Threads of their own: a large frame holds the encoder for tens of milliseconds, which
      // must not delay the control and network work on the shared pool.
      captureQueue_(DispatchQueue::dedicated(captureQueueLabel)),
      encodeQueue_(DispatchQueue::dedicated(encodeQueueLabel)) {}

// Never waits on a queue: it may run on any thread, the encode queue's own included.
VNSCapture::~VNSCapture() {
    std::unique_ptr<CaptureStream> stream;
    {
        std::lock_guard lock(mutex_);
        stream = std::move(stream_);
        starting_ = false;
    }
    ++generation_;
    isCapturing_ = false;
    if (stream) {
        stream->stop([](std::optional<CaptureError>) {});
        stream.reset();
    }
    // No encode block is running (each holds the capture while it runs), so the encoder can be
    // taken here; it is finished behind whatever is still queued.
    if (compressionSession_) {
        encodeQueue_->async(
            [session = std::shared_ptr<CompressionSession>(std::move(compressionSession_))] {
                session->completeFrames();
                session->invalidate();
            });
    }
}

std::optional<DisplayID> VNSCapture::targetDisplayID() const {
    std::lock_guard lock(mutex_);
    return targetDisplayID_;
}

std::pair<int, int> VNSCapture::encoderSize() {
    std::pair<int, int> size;
    encodeQueue_->sync([&] { size = {encoderWidth_, encoderHeight_}; });
    return size;
}

std::int64_t VNSCapture::frameCount() {
    std::int64_t count = 0;
    encodeQueue_->sync([&] { count = frameCount_; });
    return count;
}

// MARK: - Configuration

StreamConfiguration VNSCapture::streamConfiguration(const VNSCaptureConfig& config, int width,
                                                    int height) {
    StreamConfiguration configuration;
    configuration.width = roundedUpToEven(width);
    configuration.height = roundedUpToEven(height);
    configuration.minimumFrameInterval = MediaTime(std::chrono::seconds(1)) / config.effectiveFps();
    configuration.showsCursor = config.showsCursor;
    const double pixels = static_cast<double>(width) * static_cast<double>(height);
    configuration.queueDepth = pixels > VNSCaptureConfig::referencePixels ? 8 : 5;
    configuration.pixelFormat =
        config.hdrEnabled ? PixelFormat::biPlanar420Video10 : PixelFormat::biPlanar420Video8;
    return configuration;
}

CompressionProperties VNSCapture::compressionProperties(const VNSCaptureConfig& config, int width,
                                                        int height) {
    const double average = config.averageBitrateMbps(width, height);
    const double peak = config.effectiveMaxBitrateMbps(width, height);
    CompressionProperties properties;
    properties.realTime = true;
    properties.allowFrameReordering = false;
    properties.allowOpenGOP = false;
    properties.averageBitRate = static_cast<std::int64_t>(average * 1'000'000);
    properties.dataRateLimitBytes = static_cast<std::int64_t>(peak * 1'000'000 * 0.125);
    properties.dataRateLimitSeconds = 1;
    properties.quality = 0.85;
    properties.expectedFrameRate = static_cast<double>(config.effectiveFps());
    properties.maxKeyFrameInterval = static_cast<int>(config.maxKeyFrameIntervalFrames());
    properties.maxKeyFrameIntervalDuration = config.keyFrameIntervalSeconds;
    properties.maximizePowerEfficiency = false;
    properties.minAllowedFrameQP = 10;
    if (config.hdrEnabled) {
        properties.profileLevel = VideoProfile::hevcMain10AutoLevel;
        properties.colorPrimaries = ColorPrimaries::bt2020;
        properties.transferFunction = TransferFunction::pq;
        properties.yCbCrMatrix = YCbCrMatrix::bt2020;
    } else {
        // The colour description comes from the frames: the matrix they were converted with.
        properties.profileLevel = VideoProfile::hevcMainAutoLevel;
    }
    return properties;
}

// MARK: - Start and stop

void VNSCapture::startCapture(DisplayID displayID, EncodedFrameHandler handler,
                              StartCompletion completion) {
    auto complete = [&completion](std::optional<VNSCaptureError> error) {
        if (completion) completion(std::move(error));
    };
    std::uint64_t generation = 0;
    std::optional<DisplayID> running;
    {
        std::lock_guard lock(mutex_);
        if (isCapturing_ || starting_) {
            running = targetDisplayID_.value_or(0);
        } else {
            encodedFrameHandler_ = std::make_shared<const EncodedFrameHandler>(std::move(handler));
            targetDisplayID_ = displayID;
            starting_ = true;
            generation = ++generation_;
        }
    }
    if (running) {
        log("Capture already running for display " + std::to_string(*running) + "; start ignored");
        complete(std::nullopt);
        return;
    }
    auto giveUp = [&](VNSCaptureError error) {
        {
            std::lock_guard lock(mutex_);
            if (generation_ == generation) starting_ = false;
        }
        complete(std::move(error));
    };

    std::optional<CaptureError> contentError;
    auto displays = services_.capture->shareableDisplays(&contentError);
    if (contentError)
        return giveUp(VNSCaptureError::captureStartFailed(contentError->description()));
    std::optional<ShareableDisplay> display;
    for (const ShareableDisplay& candidate : displays) {
        if (candidate.displayID == displayID) {
            display = candidate;
            break;
        }
    }
    if (!display) return giveUp(VNSCaptureError::displayNotFound(displayID));

    std::weak_ptr<VNSCapture> weak = weak_from_this();
    CaptureStreamOutput output;
    output.didOutputFrame = [weak, generation](const CapturedFrame& frame) {
        if (auto self = weak.lock()) self->frameArrived(generation, frame);
    };
    output.didStopWithError = [weak, generation](const CaptureError& error) {
        if (auto self = weak.lock()) self->streamStoppedWithError(generation, error);
    };
    auto stream = services_.capture->makeStream(
        displayID, streamConfiguration(config_, display->width, display->height), *captureQueue_,
        std::move(output));

    {
        std::lock_guard lock(mutex_);
        if (generation_ == generation) {
            stream_ = std::move(stream);
            // Started under the lock, so a concurrent stop cannot destroy the stream mid-call;
            // the completion always comes later, on the capture queue.
            stream_->start([weak, generation, display = *display,
                            completion = std::move(completion)](std::optional<CaptureError> error) {
                if (auto self = weak.lock())
                    self->streamStarted(generation, display, error, completion);
            });
            return;
        }
    }
    complete(std::nullopt);  // stopped meanwhile
}

void VNSCapture::streamStarted(std::uint64_t generation, const ShareableDisplay& display,
                               const std::optional<CaptureError>& error,
                               const StartCompletion& completion) {
    std::unique_ptr<CaptureStream> failed;
    bool stopped = false;
    {
        std::lock_guard lock(mutex_);
        if (generation_ != generation) {
            stopped = true;  // the stop has already let the stream go
        } else {
            starting_ = false;
            if (error)
                failed = std::move(stream_);
            else
                isCapturing_ = true;
        }
    }
    if (stopped) {
        if (completion) completion(std::nullopt);
        return;
    }
    if (error) {
        failed.reset();
        if (completion) completion(VNSCaptureError::captureStartFailed(error->description()));
        return;
    }
    // Queued ahead of every frame of this stream.
    encodeQueue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->frameCount_ = 0;
            self->startTime_.reset();
        }
    });
    log("Started — " + sizeText(display.width, display.height) + " @ " +
        std::to_string(config_.fps) + "fps HDR=" + text(config_.hdrEnabled) + " bitrate=" +
        oneDecimal(config_.averageBitrateMbps(display.width, display.height)) + "Mbps");
    if (completion) completion(std::nullopt);
}

void VNSCapture::stopCapture() {
    std::unique_ptr<CaptureStream> stream;
    bool wasRunning;
    {
        // A hand-off under way finishes first, so no frame reaches the handler after this
        // returns. Only the hand-off is waited for, never the queue; on the encode queue (from
        // the handler itself) there is none to wait for.
        std::unique_lock handing(handoffMutex_, std::defer_lock);
        if (!encodeQueue_->isCurrent()) handing.lock();
        std::lock_guard lock(mutex_);
        wasRunning = isCapturing_ || starting_;
        stream = std::move(stream_);
        if (!wasRunning && !stream) return;
        isCapturing_ = false;
        isPaused_ = false;
        starting_ = false;
        ++generation_;
    }
    if (stream) {
        stream->stop([](std::optional<CaptureError> error) {
            if (error) log("Stop error: " + error->description());
        });
        stream.reset();
    }
    // Queued behind the frames already there, which the new generation drops; nothing waits for
    // the encoder (it may be mid-call, and from the frame handler it is).
    encodeQueue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->teardownEncoder();
    });
    if (wasRunning) log("Stopped");
}

void VNSCapture::resumeCapture() {
    if (!isCapturing_ || !isPaused_) return;
    isPaused_ = false;
    forceNextKeyFrame_ = true;
    log("Resumed; the next frame is a key frame");
}

void VNSCapture::streamStoppedWithError(std::uint64_t generation, const CaptureError& error) {
    if (generation_ != generation) return;
    log("Stream stopped with error: " + error.description());
    isCapturing_ = false;
    encodeQueue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->teardownEncoder();
    });
}

// MARK: - Frames

void VNSCapture::frameArrived(std::uint64_t generation, const CapturedFrame& frame) {
    if (generation_ != generation || !isCapturing_ || isPaused_) return;
    if (!frame.pixelBuffer) return;
    // Only complete frames carry new content; idle, blank and the others are dropped.
    if (frame.status != FrameStatus::complete) return;
    bool queue = false;
    {
        std::lock_guard lock(waitingMutex_);
        waitingFrame_ = WaitingFrame{generation, frame.pixelBuffer, frame.presentationTime};
        queue = !std::exchange(encodeQueued_, true);
    }
    if (queue) {
        encodeQueue_->async([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->encodeWaitingFrame();
        });
    }
}

void VNSCapture::encodeWaitingFrame() {
    std::optional<WaitingFrame> frame;
    {
        std::lock_guard lock(waitingMutex_);
        frame = std::exchange(waitingFrame_, std::nullopt);
        encodeQueued_ = false;
    }
    if (!frame) return;
    encodeFrame(frame->generation, frame->pixelBuffer, frame->pixelBuffer->width,
                frame->pixelBuffer->height, frame->presentationTime);
}

void VNSCapture::encodeFrame(std::uint64_t generation,
                             std::shared_ptr<const PixelBuffer> pixelBuffer, int width, int height,
                             MediaTime presentationTime) {
    // A frame queued before a stop or pause is not encoded after it.
    if (generation_ != generation || !isCapturing_ || isPaused_) return;

    if (!compressionSession_ || width != encoderWidth_ || height != encoderHeight_) {
        teardownEncoder();
        if (auto error = setupEncoder(width, height)) {
            log("Encoder setup failed: " + error->description());
            return;
        }
    }
    if (!startTime_) startTime_ = presentationTime;
    const MediaTime timeStamp = presentationTime - *startTime_;
    const MediaTime duration = MediaTime(std::chrono::seconds(1)) / config_.effectiveFps();

    FrameOptions options;
    if (forceNextKeyFrame_.exchange(false)) options.forceKeyFrame = true;

    std::weak_ptr<VNSCapture> weak = weak_from_this();
    const auto traced = static_cast<std::uint64_t>(presentationTime.count());
    FrameTrace::mark(FrameStage::encoderIn, traced);
    CodecStatus status = compressionSession_->encodeFrame(
        *pixelBuffer, timeStamp, duration, options,
        [weak, generation, traced](CodecStatus status, std::optional<EncodedSample> sample) {
            if (status != CodecStatus::noErr) {
                log("Encode error: " + std::to_string(code(status)));
                return;
            }
            if (!sample) return;
            FrameTrace::mark(FrameStage::encoderOut, traced);
            if (auto self = weak.lock()) {
                const FrameTrace::Scope scope(traced);
                self->handleEncodedSampleBuffer(generation, *sample);
            }
        });
    if (status != CodecStatus::noErr)
        log("EncodeFrame submit error: " + std::to_string(code(status)));
    ++frameCount_;
}

// MARK: - Encoder

CodecResult<std::unique_ptr<CompressionSession>> VNSCapture::createCompressionSession(
    int width, int height, EncoderTier* tier) {
    for (EncoderTier candidate : encoderTiers) {
        const EncoderRequirements requirements = EncoderRequirements::forTier(candidate);
        auto result = services_.codec->createCompressionSession(width, height, requirements);
        if (result.ok() && result.value) {
            *tier = candidate;
            return result;
        }
        const CodecStatus status =
            result.ok() ? CodecStatus::couldNotCreateInstance : result.status;
        log("Session create failed (status=" + std::to_string(code(status)) +
            ") for spec: " + requirements.description());
    }
    return {nullptr, CodecStatus::propertyNotSupported};
}

std::optional<VNSCaptureError> VNSCapture::setupEncoder(int width, int height) {
    encoderWidth_ = width;
    encoderHeight_ = height;

    EncoderTier tier = EncoderTier::software;
    auto created = createCompressionSession(width, height, &tier);
    if (!created.ok()) return VNSCaptureError::encoderCreationFailed(code(created.status));
    std::unique_ptr<CompressionSession> session = std::move(created.value);

    const CompressionProperties properties = compressionProperties(config_, width, height);
    if (CodecStatus status = session->setProperties(properties); status != CodecStatus::noErr)
        log("Warning: some encoder properties not accepted (" + std::to_string(code(status)) +
            "), continuing.");
    if (CodecStatus status = session->prepareToEncodeFrames(); status != CodecStatus::noErr)
        log("Warning: encoder preparation answered " + std::to_string(code(status)) +
            ", continuing.");

    auto identifier = session->encoderID();
    const std::string encoder =
        identifier.ok() ? identifier.value
                        : "unknown (status=" + std::to_string(code(identifier.status)) + ")";
    compressionSession_ = std::move(session);

    log("Encoder ready — " + sizeText(width, height) + " HEVC " +
        (config_.hdrEnabled ? "Main10 HDR" : "Main SDR") + " @ " +
        oneDecimal(config_.averageBitrateMbps(width, height)) + " Mbps avg / " +
        oneDecimal(config_.effectiveMaxBitrateMbps(width, height)) +
        " Mbps peak [HW=" + text(requiresHardware(tier)) + ", tier=" + vl::description(tier) +
        ", encoder=" + encoder + "]");
    return std::nullopt;
}

void VNSCapture::teardownEncoder() {
    if (!compressionSession_) return;
    compressionSession_->completeFrames();
    compressionSession_->invalidate();
    compressionSession_.reset();
    encoderWidth_ = 0;
    encoderHeight_ = 0;
}

void VNSCapture::handleEncodedSampleBuffer(std::uint64_t generation, const EncodedSample& sample) {
    std::lock_guard handing(handoffMutex_);
    // A stop that came while this frame was being encoded wins.
    if (generation_ != generation) return;
    std::shared_ptr<const EncodedFrameHandler> handler;
    {
        std::lock_guard lock(mutex_);
        handler = encodedFrameHandler_;
    }
    if (!handler || !*handler) return;
    if (sample.data.empty()) return;

    const auto& format = sample.formatDescription;
    std::vector<ByteView> parameterSets;
    if (sample.isKeyFrame() && format)
        parameterSets.assign(format->parameterSets.begin(), format->parameterSets.end());
    (*handler)(
        assembleAnnexB(sample.data, format ? format->nalUnitHeaderLength : 4, parameterSets));
}

// MARK: - Platform queries

void VNSCapture::logAvailableEncoders(VideoCodecService& codec) {
    auto encoders = codec.listEncoders();
    if (!encoders.ok()) {
        log("Could not enumerate encoders (status=" + std::to_string(code(encoders.status)) + ")");
        return;
    }
    for (const VideoEncoderInfo& encoder : encoders.value) {
        if (encoder.codecType != "hvc1") continue;
        log(std::string("Available HEVC encoder: ") + encoder.name + " id=" + encoder.encoderID +
            " isHW=" + text(encoder.isHardwareAccelerated));
    }
}

}  // namespace vl
