// client: where one video stream's access units go — counted, recorded as an Annex-B file, and
// decoded on a thread of their own so that the network receive never waits for the decoder.
#pragma once

#include "base/Bytes.h"
#include "client/StreamStats.h"
#include "platform/videocodec/libavcodec/HevcDecoder.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace vl {

class VideoSink {
  public:
    using Clock = std::chrono::steady_clock;
    // Each decoded picture with the time its access unit arrived; on the decoding thread.
    using PictureHandler = std::function<void(const DecodedPicture&, Clock::time_point arrived)>;

    struct Options {
        std::string recordPath;  // empty: not recorded
        bool decode = false;
        bool keepLastPicture = false;  // needs decode
        PictureHandler onPicture;      // needs decode
        HevcDecoderOptions decoder;    // where to decode, with decode
    };

    // Nothing (and why) when the record file cannot be created or there is no HEVC decoder.
    static std::unique_ptr<VideoSink> open(Options options, std::string* error);
    ~VideoSink();
    VideoSink(const VideoSink&) = delete;
    VideoSink& operator=(const VideoSink&) = delete;

    // One access unit as it arrived. Callers deliver one unit at a time.
    void push(ByteView accessUnit);
    // No more units: waits until every unit handed in is decoded and the record is on disk.
    // Safe to call twice.
    void finish();

    StreamStats stats() const;
    std::uint64_t picturesDecoded() const;
    int decodeErrors() const;
    std::string lastDecodeError() const;
    // Which decoder runs, and why not the one asked for (empty when it is); with decode.
    std::string decoderDescription() const;
    std::string decoderFallbackReason() const;
    // False when writing the record failed (the stream goes on being counted and decoded).
    bool recordOk() const;
    // The last decoded picture, with keepLastPicture.
    std::optional<DecodedPicture> lastPicture() const;

  private:
    explicit VideoSink(Options options) : options_(std::move(options)) {}
    void decodeLoop();

    Options options_;
    std::ofstream record_;
    std::unique_ptr<HevcDecoder> decoder_;
    std::thread decoding_;

    mutable std::mutex mutex_;  // guards the fields below
    std::condition_variable changed_;
    std::deque<std::pair<Bytes, Clock::time_point>> pending_;
    bool finishing_ = false;
    StreamStats stats_;
    bool recordOk_ = true;
    std::uint64_t pictures_ = 0;
    int errors_ = 0;
    std::string lastError_;
    std::string decoderDescription_, decoderFallbackReason_;
    std::optional<DecodedPicture> last_;
};

}  // namespace vl
