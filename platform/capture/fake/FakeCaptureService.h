// platform/capture/fake: displays and streams in memory. Frames are emitted on demand (or paced
// by a timer when asked) with a deterministic picture that depends on the frame number.
#pragma once

#include "platform/capture/Interface.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace vl {

// Fills the buffer with the picture of frame `frameNumber`: a diagonal luma ramp that moves by
// four samples per frame, and chroma that varies across the picture.
void fillTestPattern(PixelBuffer& buffer, std::uint64_t frameNumber);

class FakeCaptureService : public CaptureService {
  public:
    FakeCaptureService();
    ~FakeCaptureService() override;

    std::vector<ShareableDisplay> shareableDisplays(
        std::optional<CaptureError>* error = nullptr) override;
    std::unique_ptr<CaptureStream> makeStream(DisplayID display,
                                              const StreamConfiguration& configuration,
                                              DispatchQueue& captureQueue,
                                              CaptureStreamOutput output) override;

    // --- test controls
    void setDisplays(std::vector<ShareableDisplay> displays);
    // Later frames of the display's streams take the new size (rounded up to even).
    void resizeDisplay(DisplayID display, int width, int height);
    // The next shareableDisplays() fails with this error.
    void failShareableContent(std::optional<CaptureError> error);
    // The next start() of any stream fails with this error.
    void failNextStart(std::optional<CaptureError> error);
    // Streams started from now on emit complete frames by themselves at their frame interval.
    void setAutomaticFrames(bool enabled);

    // Delivers one frame to every running stream of the display and returns when the outputs
    // have run. Complete frames carry the next picture; a stream whose consumer holds
    // queueDepth buffers skips it. Returns how many streams received the frame.
    int emitFrame(DisplayID display, FrameStatus status = FrameStatus::complete);
    // Ends the display's running streams as the system would (didStopWithError).
    void stopStreamsWithError(DisplayID display, const CaptureError& error);

    int runningStreamCount(DisplayID display) const;
    // The configuration of the display's most recently made stream.
    std::optional<StreamConfiguration> lastConfiguration(DisplayID display) const;
    int streamsMade() const;

    struct StreamState;

  private:
    std::shared_ptr<StreamState> runningState(DisplayID display) const;

    struct Shared;
    std::shared_ptr<Shared> shared_;
};

}  // namespace vl
