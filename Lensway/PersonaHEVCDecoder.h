// Lensway: turns the client's HEVC access units (Annex-B, parameter sets at the head of key
// frames) into NV12 pictures at the size the camera currently streams. The latest video, sequence
// and picture parameter sets are kept per kind; a decoder exists only once all three are known, so
// decoding starts at the first key frame, and a changed set (a new size mid-stream) renews it.
#pragma once

#include "base/Bytes.h"
#include "platform/capture/PixelBuffer.h"
#include "platform/videocodec/VideoDecoder.h"

#include <functional>
#include <memory>

struct SwsContext;

namespace vl::lensway {

class PersonaHEVCDecoder {
  public:
    using FrameCallback = std::function<void(PixelBuffer)>;

    // Sessions come from `makeSession`, one per set of parameter sets.
    PersonaHEVCDecoder(FrameCallback onFrameDecoded, VideoDecoderFactory makeSession);
    ~PersonaHEVCDecoder();
    PersonaHEVCDecoder(const PersonaHEVCDecoder&) = delete;
    PersonaHEVCDecoder& operator=(const PersonaHEVCDecoder&) = delete;

    // The size pictures are converted to (the active format's).
    void setOutputSize(int width, int height);
    // Decodes one access unit; pictures go to the callback before this returns.
    void decode(ByteView accessUnit);
    // Starts a new stream: parameter sets are forgotten, so nothing decodes before the next key
    // frame, and the session is flushed and kept to serve that key frame's sets instead of
    // opening a new one (where many short streams follow each other, opening costs the most).
    void reset();

    bool hasSession() const { return session_ != nullptr; }
    int sessionsCreated() const { return sessionsCreated_; }
    int droppedUnits() const { return droppedUnits_; }

  private:
    PixelBuffer toNV12(const struct DecodedPictureRef& picture);
    // Flushes the session and keeps it as the spare for the next parameter sets.
    void retireSession();

    FrameCallback onFrameDecoded_;
    const VideoDecoderFactory makeSession_;
    int outputWidth_ = 1280;
    int outputHeight_ = 720;
    Bytes vps_, sps_, pps_;
    Bytes formatDescription_;  // the parameter sets the session was made with
    std::unique_ptr<VideoDecoder> session_;
    std::unique_ptr<VideoDecoder> spare_;  // a flushed session kept by reset()
    SwsContext* scaler_ = nullptr;
    int sessionsCreated_ = 0;
    int droppedUnits_ = 0;
};

}  // namespace vl::lensway
