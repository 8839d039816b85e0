// client: the headset's camera as the command-line client plays it — pictures from a source (a
// built-in moving test pattern, or a video file read with FFmpeg, scaled and looped), encoded as
// HEVC access units (Annex-B, parameter sets at the head of key frames) at the size the server
// asked for with camStart.
#pragma once

#include "base/Bytes.h"
#include "platform/capture/PixelBuffer.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace vl {

class CompressionSession;

// NV12 pictures at a fixed size, one per call.
class CameraSource {
  public:
    virtual ~CameraSource() = default;
    virtual PixelBuffer nextFrame() = 0;

    // "testpattern" or a video file; none (with the reason) when the file cannot be opened.
    static std::unique_ptr<CameraSource> open(const std::string& source, int width, int height,
                                              std::string* error);
};

// A video file FFmpeg can read, scaled to width x height and looped at its end.
std::unique_ptr<CameraSource> openVideoFile(const std::string& path, int width, int height,
                                            std::string* error);

// Four quadrants of fixed colours — red, green (top), blue, yellow (bottom) — with a gray square
// moving along the middle band, so a receiver can check both colour and motion.
class TestPattern final : public CameraSource {
  public:
    struct Yuv {
        std::uint8_t y, u, v;
    };
    // BT.601 video range.
    static constexpr std::array<Yuv, 4> quadrantColours = {Yuv{81, 90, 240}, Yuv{145, 54, 34},
                                                           Yuv{41, 240, 110}, Yuv{210, 16, 146}};
    static constexpr Yuv squareColour = {180, 128, 128};

    TestPattern(int width, int height) : width_(width), height_(height) {}
    PixelBuffer nextFrame() override;

  private:
    int width_;
    int height_;
    int frame_ = 0;
};

// HEVC of width x height with x265 at 25 frames per second, the first picture a key frame.
class CameraEncoder {
  public:
    static std::unique_ptr<CameraEncoder> create(int width, int height, std::string* error);
    ~CameraEncoder();

    // The access unit of the picture; empty when the encoder produced none.
    Bytes encode(const PixelBuffer& frame, bool forceKeyFrame = false);

  private:
    CameraEncoder() = default;
    std::unique_ptr<CompressionSession> session_;
    std::int64_t frames_ = 0;
};

class StreamClient;

// The camera connection as the headset keeps it: opened at once, then idle until the server sends
// camStart WxH; from then on the source's pictures, encoded at that size, go out at 25 frames per
// second (key frame first) until camStop. Each event is reported through `report` as "camStart WxH"
// or "camStop".
class CameraStream {
  public:
    static std::unique_ptr<CameraStream> open(const std::string& host, std::uint16_t port,
                                              std::string source,
                                              std::function<void(const std::string&)> report,
                                              std::string* error);
    ~CameraStream();

    std::uint64_t framesSent() const { return framesSent_; }
    bool isOpen() const;

  private:
    CameraStream() = default;
    void run();

    std::unique_ptr<StreamClient> client_;
    std::string source_;
    std::function<void(const std::string&)> report_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> framesSent_{0};
    std::thread thread_;
};

}  // namespace vl
