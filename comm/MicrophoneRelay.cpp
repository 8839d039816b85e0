#include "comm/MicrophoneRelay.h"

#include "Capture/ZuAudio.h"
#include "base/Log.h"

namespace vl {

MicrophoneRelay::MicrophoneRelay(TlsIdentitySource identity, std::shared_ptr<AudioHardware> audio,
                                 DispatchQueue& callbackQueue)
    : identity_(std::move(identity)), audio_(std::move(audio)), callbackQueue_(callbackQueue) {}

MicrophoneRelay::~MicrophoneRelay() {
    stopVisionProMic();
}

std::shared_ptr<MicServer> MicrophoneRelay::micServer() const {
    std::lock_guard lock(mutex_);
    return micServer_;
}

void MicrophoneRelay::startVisionProMic(const MediaPort& port) {
    auto server = MicServer::make(
        static_cast<std::uint16_t>(port.port), std::make_shared<DispatchQueue>("MicServerQueue"),
        "MicServer", identity_, port.gate, audio_, callbackQueue_, MicServer::Device::connectLater);
    std::shared_ptr<MicServer> previous;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(micServer_, server);
    }
    if (previous) previous->stop();
    try {
        server->start();
    } catch (const NetworkException&) {
        // Reported by the server; the session goes on without a microphone.
    }
    deviceQueue_->async([audio = audio_, weak = std::weak_ptr(server), port = server->boundPort()] {
        if (auto server = weak.lock()) server->connectDevice();
        const ZuAudio zu(audio);
        auto device = zu.findDevice(audio::microphoneUID);
        if (!device) return;
        if (zu.getUInt32(*device, audio::showAudio) != 1u)
            zu.setUInt32(*device, audio::showAudio, 1);
        if (zu.getUInt32(*device, audio::warm) == 1u) zu.cooldownMic();
        zu.setMicPort(port);
    });
}

void MicrophoneRelay::stopVisionProMic() {
    std::shared_ptr<MicServer> server;
    {
        std::lock_guard lock(mutex_);
        server = std::exchange(micServer_, nullptr);
    }
    if (!server) return;
    server->stop();
    server.reset();
    deviceQueue_->async([audio = audio_] {
        const ZuAudio zu(audio);
        auto device = zu.findDevice(audio::microphoneUID);
        if (!device) return;
        if (zu.getUInt32(*device, audio::warm) == 1u) zu.cooldownMic();
        zu.setUInt32(*device, audio::showAudio, 0);
    });
}

}  // namespace vl
