// Capture: the audio tap — every 8 ms it reads the PCM the virtual output device played since the
// previous read, converts it to 48 kHz interleaved float where needed and hands it to its
// delegate, all on its own serial queue.
#pragma once

#include "Capture/PcmConverter.h"
#include "Capture/ZuAudio.h"
#include "base/DispatchQueue.h"
#include "base/DispatchTimer.h"
#include "base/TimerClock.h"

#include <chrono>
#include <memory>
#include <optional>

namespace vl {

class AudioTap;

class AudioTapDelegate {
  public:
    virtual ~AudioTapDelegate() = default;
    // On the tap's capture queue, in the delivery format.
    virtual void audioTap(AudioTap& tap, const ZuAudioBuffer& buffer) = 0;
};

class AudioTap : public std::enable_shared_from_this<AudioTap> {
  public:
    static constexpr std::chrono::milliseconds pollInterval{8};
    static constexpr double deliverySampleRate = 48000.0;

    // No audio call here. The clock drives the poll timer (tests pass a manual one; it must
    // outlive the tap).
    static std::shared_ptr<AudioTap> make(ZuAudio audio, AudioObjectID device,
                                          TimerClock& clock = TimerClock::real());
    ~AudioTap();
    AudioTap(const AudioTap&) = delete;
    AudioTap& operator=(const AudioTap&) = delete;

    void setDelegate(std::weak_ptr<AudioTapDelegate> delegate);
    // True when running (also when it already was); false when no usable format could be built.
    bool start();
    // Idempotent; the formats and the converter go with the timer.
    void stop();

    std::optional<AudioStreamDescription> outputStreamFormat() const;
    // One capture cycle; the timer calls it on the capture queue.
    void poll();
    std::optional<Bytes> readPCM() const;
    // Whole frames only; none for an empty block, a zero frame size or more than 2^32 - 1 frames.
    static std::optional<PcmBuffer> makeCaptureBuffer(ByteView data, const PcmFormat& format);

    AudioObjectID deviceID() const { return deviceID_; }
    bool isRunning() const;
    std::uint32_t channelCount() const;
    std::optional<PcmFormat> captureFormat() const;
    std::optional<PcmFormat> deliveryFormat() const;
    bool hasConverter() const;
    DispatchQueue& captureQueue() const { return *captureQueue_; }

  private:
    AudioTap(ZuAudio audio, AudioObjectID device, TimerClock& clock);

    const ZuAudio audio_;
    const AudioObjectID deviceID_;
    TimerClock& clock_;
    std::shared_ptr<DispatchQueue> captureQueue_;

    // Written by start/stop, read by poll on the capture queue: guarded.
    mutable std::mutex mutex_;
    std::weak_ptr<AudioTapDelegate> delegate_;
    std::optional<PcmFormat> captureFormat_;
    std::optional<PcmFormat> deliveryFormat_;
    std::optional<PcmConverter> converter_;
    std::shared_ptr<DispatchTimer> timer_;
    bool running_ = false;
    std::uint32_t channelCount_ = 2;
};

}  // namespace vl
