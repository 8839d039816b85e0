// platform/capture: per-display screen capture — the shareable displays, and streams that deliver
// frames of one display on a capture queue at a configured rate.
#pragma once

#include "platform/capture/PixelBuffer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vl {

class DispatchQueue;

// The display ids of platform/display.
using DisplayID = std::uint32_t;

struct ShareableDisplay {
    DisplayID displayID = 0;
    int width = 0;  // pixels
    int height = 0;
    bool operator==(const ShareableDisplay&) const = default;
};

struct StreamConfiguration {
    int width = 0;  // of the delivered frames; odd sizes are rounded up to even
    int height = 0;
    MediaTime minimumFrameInterval = MediaTime{1'000'000'000 / 60};
    bool showsCursor = true;
    // Frames the consumer may hold at once; while it holds this many, new frames are skipped.
    int queueDepth = 5;
    PixelFormat pixelFormat = PixelFormat::biPlanar420Video8;
};

inline constexpr int roundedUpToEven(int value) {
    return value + (value & 1);
}

enum class FrameStatus {
    complete,   // new content; the pixel buffer is set
    idle,       // nothing changed since the last frame; no pixel buffer
    blank,      // the display shows nothing; no pixel buffer
    suspended,  // delivery paused by the system; no pixel buffer
    started,    // first frame of a stream
    stopped,    // last frame of a stream
};
const char* description(FrameStatus status);

struct CapturedFrame {
    FrameStatus status = FrameStatus::complete;
    // Shared with the producer's pool: holding it counts against the queue depth.
    std::shared_ptr<const PixelBuffer> pixelBuffer;
    MediaTime presentationTime{0};
};

enum class CaptureErrorCode {
    displayNotFound,
    connectionFailed,  // the display server cannot be reached or went away
    unsupported,       // a configuration the backend cannot produce
    alreadyRunning,
    notRunning,
    grabFailed,
};
const char* description(CaptureErrorCode code);

struct CaptureError {
    CaptureErrorCode code = CaptureErrorCode::grabFailed;
    std::string detail;
    // The code's description, then the detail when there is one.
    std::string description() const;
};

// What a stream calls; both run on the stream's capture queue.
struct CaptureStreamOutput {
    std::function<void(const CapturedFrame&)> didOutputFrame;
    // The stream ended on its own (the display went away, the server closed); no frame follows.
    std::function<void(const CaptureError&)> didStopWithError;
};

using CaptureCompletion = std::function<void(std::optional<CaptureError>)>;

// One display's stream. Completions run on the capture queue, each exactly once, also when the
// stream is destroyed first. After stop's completion no output is called. Destroying a stream
// stops it without waiting on the capture queue: no output starts once the destructor has
// returned (it waits only for one already under way on another thread), and a start still queued
// then completes with notRunning.
class CaptureStream {
  public:
    virtual ~CaptureStream() = default;
    virtual void start(CaptureCompletion completion) = 0;
    virtual void stop(CaptureCompletion completion) = 0;
};

// Supplied by the composition root (real backend) or by tests (fake).
class CaptureService {
  public:
    virtual ~CaptureService() = default;

    // The displays that can be captured; an error when the display server cannot be asked.
    virtual std::vector<ShareableDisplay> shareableDisplays(
        std::optional<CaptureError>* error = nullptr) = 0;

    // A stream of one display; never null (start reports what goes wrong). The stream keeps its
    // own handle on the capture queue. Frames follow the display: when its size changes, later
    // frames have the new size (rounded up to even).
    virtual std::unique_ptr<CaptureStream> makeStream(DisplayID display,
                                                      const StreamConfiguration& configuration,
                                                      DispatchQueue& captureQueue,
                                                      CaptureStreamOutput output) = 0;
};

}  // namespace vl
