#include "Capture/AudioTap.h"

#include "base/Log.h"

#include <limits>

#include <pthread.h>

namespace vl {

std::shared_ptr<AudioTap> AudioTap::make(ZuAudio audio, AudioObjectID device, TimerClock& clock) {
    return std::shared_ptr<AudioTap>(new AudioTap(std::move(audio), device, clock));
}

AudioTap::AudioTap(ZuAudio audio, AudioObjectID device, TimerClock& clock)
    : audio_(std::move(audio)),
      deviceID_(device),
      clock_(clock),
      captureQueue_(DispatchQueue::dedicated("ZuAudioTapQueue")) {
    // The queue has its thread to itself: named, its CPU shows in top and /proc.
    captureQueue_->async([] { pthread_setname_np(pthread_self(), "ZuAudioTapQueue"); });
}

AudioTap::~AudioTap() {
    stop();
}

void AudioTap::setDelegate(std::weak_ptr<AudioTapDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::optional<AudioStreamDescription> AudioTap::outputStreamFormat() const {
    return audio_.outputStreamFormat(deviceID_);
}

bool AudioTap::start() {
    std::lock_guard lock(mutex_);
    if (running_) return true;
    const auto description = outputStreamFormat();
    if (!description) {
        logMsg("AudioTap: no output stream format on device " + std::to_string(deviceID_));
        return false;
    }
    channelCount_ = description->channelsPerFrame;
    const std::uint32_t discrete = kAudioChannelLayoutTag_DiscreteInOrder | channelCount_;
    auto capture = PcmFormat::make(*description);
    if (!capture) capture = PcmFormat::make(*description, discrete);
    if (!capture) {
        logMsg("AudioTap: cannot read the device's format (" + std::to_string(channelCount_) +
               " channels)");
        return false;
    }
    const PcmFormat delivery =
        channelCount_ <= 2 ? PcmFormat::float32(deliverySampleRate, channelCount_)
                           : PcmFormat::float32(deliverySampleRate, channelCount_, discrete);
    std::optional<PcmConverter> converter;
    const bool matches = capture->isFloat32() && capture->isInterleaved() &&
                         capture->sampleRate() == delivery.sampleRate() &&
                         capture->channelCount() == delivery.channelCount();
    if (!matches) {
        converter = PcmConverter::make(*capture, delivery);
        if (!converter) {
            logMsg("AudioTap: failed to create converter " + capture->describe() + " -> " +
                   delivery.describe());
            return false;
        }
        logMsg("AudioTap: converting " + capture->describe() + " -> " + delivery.describe());
    }
    captureFormat_ = capture;
    deliveryFormat_ = delivery;
    converter_ = std::move(converter);

    timer_ = DispatchTimer::make(*captureQueue_, clock_);
    std::weak_ptr<AudioTap> weak = weak_from_this();
    timer_->setEventHandler([weak] {
        if (auto self = weak.lock()) self->poll();
    });
    timer_->schedule(clock_.now(), pollInterval);
    timer_->resume();
    running_ = true;
    logMsg("AudioTap: started on device " + std::to_string(deviceID_) + " format " +
           capture->describe());
    return true;
}

void AudioTap::stop() {
    std::shared_ptr<DispatchTimer> timer;
    {
        std::lock_guard lock(mutex_);
        timer = std::move(timer_);
        running_ = false;
        captureFormat_.reset();
        deliveryFormat_.reset();
        converter_.reset();
    }
    if (timer) timer->cancel();
}

bool AudioTap::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_;
}
std::uint32_t AudioTap::channelCount() const {
    std::lock_guard lock(mutex_);
    return channelCount_;
}
std::optional<PcmFormat> AudioTap::captureFormat() const {
    std::lock_guard lock(mutex_);
    return captureFormat_;
}
std::optional<PcmFormat> AudioTap::deliveryFormat() const {
    std::lock_guard lock(mutex_);
    return deliveryFormat_;
}
bool AudioTap::hasConverter() const {
    std::lock_guard lock(mutex_);
    return converter_.has_value();
}

std::optional<Bytes> AudioTap::readPCM() const {
    return audio_.getData(deviceID_, ZuAudio::kAudioDeviceCustomPropertySpeakerPCM);
}

std::optional<PcmBuffer> AudioTap::makeCaptureBuffer(ByteView data, const PcmFormat& format) {
    const std::uint32_t bytesPerFrame = format.bytesPerFrame();
    if (bytesPerFrame == 0) return std::nullopt;
    const std::size_t frames = data.size() / bytesPerFrame;  // a trailing partial frame is ignored
    if (frames == 0 || frames > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    PcmBuffer buffer{format, std::uint32_t(frames),
                     Bytes(data.begin(), data.begin() + std::ptrdiff_t(frames * bytesPerFrame))};
    return buffer;
}

void AudioTap::poll() {
    std::optional<PcmFormat> capture;
    {
        std::lock_guard lock(mutex_);
        capture = captureFormat_;
    }
    if (!capture) return;
    const auto data = readPCM();
    if (!data || data->empty()) return;
    auto buffer = makeCaptureBuffer(*data, *capture);
    if (!buffer) return;

    std::optional<ZuAudioBuffer> delivered;
    std::shared_ptr<AudioTapDelegate> delegate;
    {
        std::lock_guard lock(mutex_);
        // A stop while reading: nothing more goes out.
        if (!running_) return;
        delegate = delegate_.lock();
        if (!converter_) {
            delivered = ZuAudioBuffer::makeInterleaved(buffer->format.channelCount(),
                                                       PcmConverter::toFloatInterleaved(*buffer));
        } else {
            auto out =
                converter_->convert(*buffer, converter_->outputCapacity(buffer->frameLength));
            if (out.frameLength > 0) delivered = std::move(out);
        }
    }
    if (delivered && delegate) delegate->audioTap(*this, *delivered);
}

}  // namespace vl
