// Capture: one display captured and encoded as low-latency HEVC. Every complete frame is encoded
// and handed, as one self-contained Annex-B access unit, to the handler given at start. The
// encoder is made on the first frame and made again whenever the frame size changes; it falls
// back through four tiers, from hardware with low-latency rate control to software.
#pragma once

#include "Capture/VNSCaptureConfig.h"
#include "base/Bytes.h"
#include "base/DispatchQueue.h"
#include "platform/capture/Interface.h"
#include "platform/videocodec/Interface.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace vl {

struct VNSCaptureError {
    enum class Code {
        displayNotFound,
        windowNotFound,
        encoderCreationFailed,
        captureStartFailed,
        noHandlerSet,
    };

    Code code = Code::captureStartFailed;
    std::uint32_t id = 0;     // display or window
    std::int32_t status = 0;  // codec status
    std::string underlying;   // the underlying error's description

    static VNSCaptureError displayNotFound(DisplayID display) {
        return {Code::displayNotFound, display, 0, {}};
    }
    static VNSCaptureError windowNotFound(std::uint32_t window) {
        return {Code::windowNotFound, window, 0, {}};
    }
    static VNSCaptureError encoderCreationFailed(std::int32_t status) {
        return {Code::encoderCreationFailed, 0, status, {}};
    }
    static VNSCaptureError captureStartFailed(std::string underlying) {
        return {Code::captureStartFailed, 0, 0, std::move(underlying)};
    }
    static VNSCaptureError noHandlerSet() { return {Code::noHandlerSet, 0, 0, {}}; }

    std::string description() const;
};

// The platform services a capture stands on; the composition root or a test supplies them.
struct VideoCaptureServices {
    std::shared_ptr<CaptureService> capture;
    std::shared_ptr<VideoCodecService> codec;
};

class VNSCapture : public std::enable_shared_from_this<VNSCapture> {
  public:
    using EncodedFrameHandler = std::function<void(Bytes)>;
    using StartCompletion = std::function<void(std::optional<VNSCaptureError>)>;

    static constexpr const char* captureQueueLabel = "com.corvane.vantrel.capture.screen";
    static constexpr const char* encodeQueueLabel = "com.corvane.vantrel.capture.encode";

    static std::shared_ptr<VNSCapture> make(VNSCaptureConfig config, VideoCaptureServices services);
    // Stops a running capture first.
    ~VNSCapture();
    VNSCapture(const VNSCapture&) = delete;
    VNSCapture& operator=(const VNSCapture&) = delete;

    // Asynchronous: the completion runs once, on the capture queue or (when the capture is
    // already running, or the display is unknown) on the calling thread; not at all when the
    // capture is released before its stream has started. A capture that is already running or
    // starting stays as it is and keeps its handler. A stop while starting completes without
    // error. The handler is called on the encode queue, one access unit at a time.
    void startCapture(DisplayID displayID, EncodedFrameHandler handler,
                      StartCompletion completion = {});
    // Stops the stream and discards the encoder (on the encode queue, behind the frames already
    // there); no frame reaches the handler afterwards. Waits for no queue, only for a hand-off to
    // the handler already under way on another thread.
    void stopCapture();
    // Leaves the paused state and forces a key frame.
    void resumeCapture();
    // The next frame encoded is a key frame (for a receiver that cannot decode what it has).
    void requestKeyFrame() { forceNextKeyFrame_ = true; }

    bool isCapturing() const { return isCapturing_; }
    bool isPaused() const { return isPaused_; }
    // Frames are discarded while paused; resumeCapture ends it with a key frame.
    void setPaused(bool paused) { isPaused_ = paused; }
    const VNSCaptureConfig& config() const { return config_; }
    std::optional<DisplayID> targetDisplayID() const;
    std::optional<std::uint32_t> targetWindowID() const { return std::nullopt; }

    // Read on the encode queue: the size the encoder was made for ({0, 0} when none), and the
    // frames submitted since the stream started.
    std::pair<int, int> encoderSize();
    std::int64_t frameCount();
    // The queue frames are encoded and handed out on (a thread of its own). Tests and benchmarks
    // wait on it for the encoder's work, which stops and releases never wait for.
    const std::shared_ptr<DispatchQueue>& encodeQueue() const { return encodeQueue_; }

    // Reports every HEVC encoder the platform offers.
    static void logAvailableEncoders(VideoCodecService& codec);

    // The stream configuration of a display of this size.
    static StreamConfiguration streamConfiguration(const VNSCaptureConfig& config, int width,
                                                   int height);
    // The encoder properties for frames of this size.
    static CompressionProperties compressionProperties(const VNSCaptureConfig& config, int width,
                                                       int height);

  private:
    VNSCapture(VNSCaptureConfig config, VideoCaptureServices services);

    void streamStarted(std::uint64_t generation, const ShareableDisplay& display,
                       const std::optional<CaptureError>& error, const StartCompletion& completion);
    void frameArrived(std::uint64_t generation, const CapturedFrame& frame);
    void streamStoppedWithError(std::uint64_t generation, const CaptureError& error);

    // Encode queue only.
    void encodeWaitingFrame();
    void encodeFrame(std::uint64_t generation, std::shared_ptr<const PixelBuffer> pixelBuffer,
                     int width, int height, MediaTime presentationTime);
    std::optional<VNSCaptureError> setupEncoder(int width, int height);
    CodecResult<std::unique_ptr<CompressionSession>> createCompressionSession(int width, int height,
                                                                              EncoderTier* tier);
    void teardownEncoder();
    void handleEncodedSampleBuffer(std::uint64_t generation, const EncodedSample& sample);

    const VNSCaptureConfig config_;
    const VideoCaptureServices services_;
    const std::shared_ptr<DispatchQueue> captureQueue_;
    const std::shared_ptr<DispatchQueue> encodeQueue_;

    // Plain flags written by the control side and read by the queues.
    std::atomic<bool> isCapturing_{false};
    std::atomic<bool> isPaused_{false};
    std::atomic<bool> forceNextKeyFrame_{false};
    // Frames of an earlier stream are recognised and dropped by this.
    std::atomic<std::uint64_t> generation_{0};

    // Held while a frame is handed to the handler (taken before mutex_).
    std::mutex handoffMutex_;
    mutable std::mutex mutex_;  // guards the fields below
    bool starting_ = false;
    std::unique_ptr<CaptureStream> stream_;
    std::shared_ptr<const EncodedFrameHandler> encodedFrameHandler_;
    std::optional<DisplayID> targetDisplayID_;

    // The newest complete frame the encoder has not taken yet. A frame still waiting when a
    // newer one arrives is dropped: the encoder never starts on a picture already out of date.
    struct WaitingFrame {
        std::uint64_t generation = 0;
        std::shared_ptr<const PixelBuffer> pixelBuffer;
        MediaTime presentationTime{0};
    };
    std::mutex waitingMutex_;  // guards the two fields below
    std::optional<WaitingFrame> waitingFrame_;
    bool encodeQueued_ = false;  // a block that takes the waiting frame is on the encode queue

    // Encode queue only.
    std::unique_ptr<CompressionSession> compressionSession_;
    int encoderWidth_ = 0;
    int encoderHeight_ = 0;
    std::int64_t frameCount_ = 0;
    std::optional<MediaTime> startTime_;  // the first encoded frame's presentation time
};

}  // namespace vl
