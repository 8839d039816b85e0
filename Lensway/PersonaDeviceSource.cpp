#include "Lensway/PersonaDeviceSource.h"

#include "Lensway/PersonaHEVCDecoder.h"
#include "Lensway/Placeholder.h"
#include "base/Log.h"

#include <utility>

namespace vl::lensway {

namespace {

std::int64_t hostTimeNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

PersonaDeviceSource::PersonaDeviceSource(CameraHost& host, std::shared_ptr<NotifyCenter> notify,
                                         Options options)
    : host_(host),
      streamSource_(std::make_unique<PersonaStreamSource>(*this, std::move(notify))),
      options_(std::move(options)),
      timerQueue_(DispatchQueue::dedicated("timerQueue")),
      placeholder_(options_.fontPath.empty() ? std::make_unique<Placeholder>()
                                             : std::make_unique<Placeholder>(options_.fontPath)) {}

PersonaDeviceSource::~PersonaDeviceSource() {
    std::shared_ptr<DispatchTimer> timer;
    {
        std::lock_guard lock(streamMutex_);
        timer = std::exchange(timer_, nullptr);
    }
    if (timer) timer->cancel();
    // A tick already queued finishes before the queue lets go of this object.
    timerQueue_->sync([] {});
}

void PersonaDeviceSource::addOutput(std::shared_ptr<FrameOutput> output) {
    std::lock_guard lock(frameLock_);
    outputs_.push_back(std::move(output));
}

unsigned PersonaDeviceSource::streamingCounter() const {
    std::lock_guard lock(streamMutex_);
    return streamingCounter_;
}

bool PersonaDeviceSource::isTicking() const {
    std::lock_guard lock(streamMutex_);
    return timer_ != nullptr;
}

void PersonaDeviceSource::startStreaming() {
    std::lock_guard lock(streamMutex_);
    ++streamingCounter_;
    if (timer_) return;  // a further consumer shares the running timer
    timer_ = startTicksLocked();
    logMsg("Device: streaming started");
}

std::shared_ptr<DispatchTimer> PersonaDeviceSource::startTicksLocked() {
    auto timer = DispatchTimer::make(*timerQueue_, *options_.clock);
    timer->schedule(options_.clock->now(), frameInterval);
    timer->setEventHandler([this] { frameTick(); });
    timer->resume();
    return timer;
}

// A new picture goes out at once, and the repeats follow a frame interval after it: waiting for
// the next tick would add up to a whole interval to every picture's way to the application.
void PersonaDeviceSource::restartTicks() {
    std::lock_guard lock(streamMutex_);
    if (!timer_) return;
    timer_->cancel();
    timer_ = startTicksLocked();
}

void PersonaDeviceSource::stopStreaming() {
    std::shared_ptr<DispatchTimer> stopped;
    {
        std::lock_guard lock(streamMutex_);
        if (streamingCounter_ < 2) {
            streamingCounter_ = 0;
            stopped = std::exchange(timer_, nullptr);
        } else {
            --streamingCounter_;
        }
    }
    if (stopped) {
        stopped->cancel();
        logMsg("Device: streaming stopped");
    }
}

void PersonaDeviceSource::activeFormatChanged() {
    // The decoder follows on its own thread at the next frame (see submitEncoded).
}

bool PersonaDeviceSource::hasPicture() const {
    std::lock_guard lock(frameLock_);
    return latestExternalPixelBuffer_ != nullptr;
}

void PersonaDeviceSource::frameTick() {
    const CameraFormat format = streamSource_->activeFormat();
    std::shared_ptr<const PixelBuffer> picture;
    std::vector<std::shared_ptr<FrameOutput>> outputs;
    {
        std::lock_guard lock(frameLock_);
        picture = latestExternalPixelBuffer_;
        outputs = outputs_;
    }
    // A picture of the previous format is not sent at the new one.
    if (picture && picture->width == format.width && picture->height == format.height) {
        const std::int64_t count = ++sentExternalCount_;
        if (count == 1 || count % 60 == 0)
            logMsg("📺 timer sending EXTERNAL frame #" + std::to_string(count));
        host_.send(*picture, hostTimeNow());
        for (const auto& output : outputs) output->write(*picture);
        return;
    }
    if (placeholderBuffer_.width != format.width || placeholderBuffer_.height != format.height)
        placeholderBuffer_ = makePixelBuffer(format.width, format.height,
                                             PixelFormat::biPlanar420Video8, ColorDescription{});
    placeholder_->draw(placeholderBuffer_);
    ++sentPlaceholderCount_;
    host_.send(placeholderBuffer_, hostTimeNow());
    for (const auto& output : outputs) output->write(placeholderBuffer_);
}

void PersonaDeviceSource::setEncodedFrameProperty(std::optional<ByteView> value) {
    if (value) {
        submitEncoded(*value);
        return;
    }
    logMsg("setDeviceProperties: personaEncodedFrame not Data (no frame) — clearing");
    decoder_.reset();
    std::lock_guard lock(frameLock_);
    latestExternalPixelBuffer_.reset();
}

void PersonaDeviceSource::submitEncoded(ByteView frame) {
    if (!decoder_) {
        decoder_ = std::make_unique<PersonaHEVCDecoder>(
            [this](PixelBuffer picture) {
                auto shared = std::make_shared<const PixelBuffer>(std::move(picture));
                {
                    std::lock_guard lock(frameLock_);
                    latestExternalPixelBuffer_ = std::move(shared);
                }
                restartTicks();
            },
            options_.makeDecoder);
        logMsg("Device: decoder created");
    }
    const std::int64_t count = ++submitCount_;
    if (count == 1 || count % 60 == 0)
        logMsg("✅ submitEncoded #" + std::to_string(count) + ": " + std::to_string(frame.size()) +
               " bytes");
    const CameraFormat format = streamSource_->activeFormat();
    decoder_->setOutputSize(format.width, format.height);
    decoder_->decode(frame);
}

}  // namespace vl::lensway
