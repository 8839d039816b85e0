// Lensway: the camera device. While some consumer streams, a timer sends a frame every 0.04 s:
// the latest decoded picture of the client's video (repeated until a newer one arrives), or the
// placeholder until there is one. Encoded frames written to the device's encoded-frame property
// are decoded here; a value that is no frame brings the placeholder back.
#pragma once

#include "Lensway/CameraHost.h"
#include "Lensway/PersonaStreamSource.h"
#include "base/Bytes.h"
#include "base/DispatchQueue.h"
#include "base/DispatchTimer.h"
#include "base/TimerClock.h"
#include "platform/videocodec/VideoDecoder.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace vl::lensway {

class PersonaHEVCDecoder;
class Placeholder;

class PersonaDeviceSource {
  public:
    static constexpr auto frameInterval = std::chrono::milliseconds(40);

    struct Options {
        TimerClock* clock = &TimerClock::real();
        std::string fontPath;  // empty: the default placeholder font
        // Decoders of the client's video; without one, the placeholder stays.
        VideoDecoderFactory makeDecoder;
    };

    PersonaDeviceSource(CameraHost& host, std::shared_ptr<NotifyCenter> notify, Options options);
    ~PersonaDeviceSource();
    PersonaDeviceSource(const PersonaDeviceSource&) = delete;
    PersonaDeviceSource& operator=(const PersonaDeviceSource&) = delete;

    PersonaStreamSource& streamSource() { return *streamSource_; }
    // Every frame sent also goes to these outputs.
    void addOutput(std::shared_ptr<FrameOutput> output);

    void startStreaming();
    void stopStreaming();
    void activeFormatChanged();
    unsigned streamingCounter() const;
    bool isTicking() const;

    // The encoded-frame property: one access unit, or a value that is not one (nullopt).
    void setEncodedFrameProperty(std::optional<ByteView> value);
    // Reading the property back gives 0.
    static constexpr int encodedFramePropertyValue = 0;

    std::int64_t sentExternalCount() const { return sentExternalCount_; }
    std::int64_t sentPlaceholderCount() const { return sentPlaceholderCount_; }
    bool hasPicture() const;
    // The placeholder's state, for the timer queue's eyes only (tests read it between ticks).
    const Placeholder& placeholder() const { return *placeholder_; }

  private:
    void frameTick();
    void submitEncoded(ByteView frame);
    // Under the stream mutex: a timer ticking from now on, every frame interval.
    std::shared_ptr<DispatchTimer> startTicksLocked();
    void restartTicks();

    CameraHost& host_;
    std::unique_ptr<PersonaStreamSource> streamSource_;
    const Options options_;
    const std::shared_ptr<DispatchQueue> timerQueue_;

    mutable std::mutex streamMutex_;  // the counter and the timer
    unsigned streamingCounter_ = 0;
    std::shared_ptr<DispatchTimer> timer_;

    // The latest decoded picture, under the frame lock.
    mutable std::mutex frameLock_;
    std::shared_ptr<const PixelBuffer> latestExternalPixelBuffer_;
    std::vector<std::shared_ptr<FrameOutput>> outputs_;

    // On the timer queue only.
    std::unique_ptr<Placeholder> placeholder_;
    PixelBuffer placeholderBuffer_;

    // On the thread that writes the property only.
    std::unique_ptr<PersonaHEVCDecoder> decoder_;

    std::atomic<std::int64_t> sentExternalCount_{0};
    std::atomic<std::int64_t> sentPlaceholderCount_{0};
    std::atomic<std::int64_t> submitCount_{0};
};

}  // namespace vl::lensway
