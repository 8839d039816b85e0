#include "comm/SystemAudioRelay.h"

#include "base/Log.h"

#include <utility>

namespace vl {

std::shared_ptr<SystemAudioRelay> SystemAudioRelay::make(ZuAudio audio, TlsIdentitySource identity,
                                                         TimerClock& clock) {
    return std::shared_ptr<SystemAudioRelay>(
        new SystemAudioRelay(std::move(audio), std::move(identity), clock));
}

SystemAudioRelay::SystemAudioRelay(ZuAudio audio, TlsIdentitySource identity, TimerClock& clock)
    : audio_(std::move(audio)),
      identity_(std::move(identity)),
      clock_(clock),
      queue_(std::make_shared<DispatchQueue>("AudioRelayQueue")) {}

SystemAudioRelay::~SystemAudioRelay() {
    if (listener_) audio_.hardware().removePropertyListener(listener_);
    if (audioServer_) audioServer_->stop();
}

std::optional<int> SystemAudioRelay::resolutionOfSupportedAudioChannels(Resolution resolution) {
    return int(channelCount(vl::resolutionOfSupportedAudioChannels(resolution)));
}

std::shared_ptr<AudioServer> SystemAudioRelay::audioServer() const {
    std::lock_guard lock(mutex_);
    return published_;
}

void SystemAudioRelay::startAudio(std::optional<int> channels, const MediaPort& port) {
    std::weak_ptr<SystemAudioRelay> weak = weak_from_this();
    queue_->async([weak, channels, port] {
        auto self = weak.lock();
        if (!self) return;
        if (self->audioServer_) self->audioServer_->stop();
        const auto layout =
            channels ? zuChannelsFromRawValue(std::uint32_t(*channels)) : std::nullopt;
        auto server = std::make_shared<AudioServer>(
            std::uint16_t(port.port), std::make_shared<DispatchQueue>("AudioServerQueue"),
            "AudioServer", self->identity_, port.gate, self->audio_, self->clock_);
        if (layout) server->setEncoder(ZuAudioEncoder::create(*layout));
        server->setAudioChannel(layout);
        self->device_ = self->audio_.findDevice(ZuAudio::outputDeviceUID);
        server->setZuDeviceID(self->device_);
        self->audioServer_ = server;
        {
            std::lock_guard lock(self->mutex_);
            self->published_ = server;
        }
        self->soundServerLost_ = false;
        if (!self->listener_) {
            // The sound server's comings and goings show on the system object.
            self->listener_ = self->audio_.hardware().addPropertyListener(
                audioSystemObject, {audio::defaultOutputDevice}, [weak] {
                    if (auto relay = weak.lock())
                        relay->queue_->async([weak] {
                            if (auto r = weak.lock()) r->soundServerChanged();
                        });
                });
        }
        try {
            server->start();
        } catch (const std::exception& error) {
            logMsg(std::string("Failed to start servers: ") + error.what());
        }
    });
}

void SystemAudioRelay::stopAudio() {
    std::weak_ptr<SystemAudioRelay> weak = weak_from_this();
    queue_->async([weak] {
        auto self = weak.lock();
        if (!self) return;
        if (auto server = std::exchange(self->audioServer_, nullptr)) server->stop();
        std::lock_guard lock(self->mutex_);
        self->published_.reset();
    });
}

void SystemAudioRelay::shutdown() {
    queue_->sync([this] {
        if (listener_) audio_.hardware().removePropertyListener(std::exchange(listener_, 0));
        if (auto server = std::exchange(audioServer_, nullptr)) server->stop();
        std::lock_guard lock(mutex_);
        published_.reset();
    });
}

void SystemAudioRelay::soundServerChanged() {
    if (!audioServer_ || !device_ || audioServer_->stopRequested()) return;
    // The device answers while its sound server runs; it is hidden on a server that just
    // (re)started.
    const auto shown = audio_.getUInt32(*device_, ZuAudio::kAudioDeviceCustomPropertyShowAudio);
    if (!shown) {
        if (!soundServerLost_) {
            soundServerLost_ = true;
            logMsg("🟥 System audio stopped: the sound server went away");
        }
        return;
    }
    if (soundServerLost_ && *shown == 0) {
        soundServerLost_ = false;
        logMsg("🟩 System audio: the sound server is back; preparing Corvane Audio again");
        audioServer_->restartDevice();
    }
}

}  // namespace vl
