#include "comm/AudioServer.h"

#include "base/Log.h"

#include <utility>

namespace vl {

AudioServer::AudioServer(std::uint16_t port, std::shared_ptr<DispatchQueue> queue, std::string name,
                         TlsIdentitySource identity, std::shared_ptr<ClientGate> gate,
                         ZuAudio audio, TimerClock& clock)
    : MediaServer(port, std::move(queue), std::move(name), std::move(identity), std::move(gate)),
      audio_(std::move(audio)),
      clock_(clock) {}

AudioServer::~AudioServer() {
    std::shared_ptr<AudioTap> tap;
    {
        std::lock_guard lock(mutex_);
        tap = std::move(audioTap_);
    }
    if (tap) tap->stop();
}

void AudioServer::setEncoder(std::unique_ptr<ZuAudioEncoder> encoder) {
    encoder_ = std::move(encoder);
    encoderPresent_ = encoder_ != nullptr;
}

std::optional<AudioObjectID> AudioServer::oldDefaultDeviceID() const {
    std::lock_guard lock(mutex_);
    return oldDefaultdeviceID_;
}

std::shared_ptr<AudioTap> AudioServer::audioTapInstance() const {
    std::lock_guard lock(mutex_);
    return audioTap_;
}

void AudioServer::prepareDevice() {
    const auto old = audio_.getCurrentDefaultAudioOutputDevice();
    {
        std::lock_guard lock(mutex_);
        // The default found now, unless it is our device (a restart after the sound server came
        // back keeps the one found first).
        if (old != zuDeviceID_) oldDefaultdeviceID_ = old;
    }
    const AudioObjectID device = *zuDeviceID_;
    const ZuChannels layout = *audioChannel_;
    logMsg("Corvane Audio found: " + std::to_string(device) +
           ", original device is: " + (old ? std::to_string(*old) : std::string("nil")));

    if (auto status = audio_.setUInt32(device, ZuAudio::kAudioDeviceCustomPropertyShowAudio, 1))
        logMsg("Failed to show device: " + std::to_string(status));
    const bool visible = audio_.waitForVisible(device, true, settleTimeout, settlePoll);
    logMsg(std::string("Corvane Audio device visible: ") + (visible ? "true" : "false"));

    const auto status = audio_.setUInt32(device, ZuAudio::kAudioDeviceCustomPropertySetChannels,
                                         channelCount(layout));
    logMsg(std::string("Corvane Audio setChannels(") + description(layout) +
           ") status: " + ZuAudio::statusString(status));
    if (!audio_.waitForChannels(device, layout, settleTimeout, settlePoll)) {
        const auto now = audio_.getUInt32(device, ZuAudio::kAudioDeviceCustomPropertySetChannels);
        logMsg(std::string("Corvane Audio channel count did not settle to ") + description(layout) +
               " (got " + (now ? std::to_string(*now) : "nil") + ")");
    }

    if (visible) {
        if (auto s = audio_.setDefaultAudioOutputDevice(device))
            logMsg("Corvane Audio failed to become default output, status: " + std::to_string(s));
    } else {
        logMsg("Corvane Audio is not visible; the default output stays as it is");
    }
}

void AudioServer::startTap() {
    auto tap = AudioTap::make(audio_, *zuDeviceID_, clock_);
    tap->setDelegate(std::static_pointer_cast<AudioServer>(shared_from_this()));
    tap->start();  // without a usable format the server runs on without capture
    std::shared_ptr<AudioTap> previous;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(audioTap_, tap);
    }
    if (previous) previous->stop();
    stopRequested_ = false;
}

void AudioServer::start() {
    {
        std::lock_guard lock(mutex_);
        oldDefaultdeviceID_ = audio_.getCurrentDefaultAudioOutputDevice();
    }
    if (!zuDeviceID_ || !audioChannel_) {
        logMsg("AudioServer: no " +
               std::string(zuDeviceID_ ? "channel layout" : "Corvane Audio device") +
               "; no system audio");
        return;
    }
    prepareDevice();
    startTap();
    MediaServer::start();
}

void AudioServer::restartDevice() {
    if (!zuDeviceID_ || !audioChannel_ || stopRequested_) return;
    prepareDevice();
    startTap();
}

void AudioServer::stop() {
    if (!zuDeviceID_) {
        logMsg("AudioServer: stop without a Corvane Audio device; nothing to restore");
        return;
    }
    stopRequested_ = true;
    std::shared_ptr<AudioTap> tap;
    std::optional<AudioObjectID> old;
    {
        std::lock_guard lock(mutex_);
        tap = std::move(audioTap_);
        old = oldDefaultdeviceID_;
    }
    releaseActiveConnection(false);  // not cancelled: the client ends it
    if (tap) tap->stop();
    audio_.setUInt32(*zuDeviceID_, ZuAudio::kAudioDeviceCustomPropertyShowAudio, 0);
    if (old) audio_.setDefaultAudioOutputDevice(*old);
    MediaServer::stop();
}

void AudioServer::reportConnection(ConnectionEvent event, const Connection& connection,
                                   const std::optional<NetworkError>& error) {
    if (event == ConnectionEvent::dropped)
        report("🟨 " + serverName() + ": dropping audio receiver [" + connection.description() +
               "], not the connected client's address");
    else
        MediaServer::reportConnection(event, connection, error);
}

void AudioServer::receivePacket(const std::shared_ptr<Connection>& connection) {
    std::weak_ptr<AudioServer> weak = std::static_pointer_cast<AudioServer>(shared_from_this());
    connection->receive(
        1, maximumReceive,
        [weak, connection](std::optional<Bytes> data, bool, std::optional<NetworkError> error) {
            auto self = weak.lock();
            if (!self) return;
            if (!data || data->empty()) {
                if (error) logMsg("Receive failed: " + error->description());
                return;  // the loop ends for this connection
            }
            // One whole packet per receive at most: whatever does not make one is dropped.
            if (auto packet = Packet::decode(*data)) {
                logMsg("Received packet: " + packet->debugDescription());
                self->sendPacket(connection, *packet);
            } else {
                logMsg("🟨 " + self->serverName() + ": dropped " + std::to_string(data->size()) +
                       " bytes from [" + connection->description() + "] that make no packet");
            }
            self->receivePacket(connection);
        });
}

void AudioServer::audioTap(AudioTap&, const ZuAudioBuffer& buffer) {
    const std::int64_t captured = ++capturedCount_;
    if (stopRequested_) {
        if (captured == 1) logMsg("AudioServer: captured audio after stop dropped");
        return;
    }
    std::shared_ptr<Connection> connection = activeConnection();
    if (!connection || connection->state() != ConnectionState::ready) return;

    std::vector<Bytes> packets;
    if (encoder_) packets = encoder_->encode(buffer);
    for (auto& unit : packets) {
        Packet packet(Uuid::random(), PacketType::pktAudioStreamData, InteractionType::rdpAudio,
                      std::move(unit));
        ++sentCount_;
        std::weak_ptr<AudioServer> weak = std::static_pointer_cast<AudioServer>(shared_from_this());
        connection->send(packet.encode(), true, [weak](std::optional<NetworkError> error) {
            if (!error) return;
            if (auto self = weak.lock()) self->report("Send failed: " + error->description());
        });
    }
    if (packets.empty()) {
        const std::int64_t fails = ++encodeFailCount_;
        if (fails == 1 || fails % 100 == 0)
            logMsg("❌ AudioServer: encode returned no frames (" + std::to_string(fails) +
                   " times; encoder=" + (encoderPresent_ ? "ok" : "nil") + ")");
    }
}

}  // namespace vl
