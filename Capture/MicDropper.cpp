#include "Capture/MicDropper.h"

#include "Capture/ZuAudio.h"
#include "base/Log.h"

#include <cstring>
#include <utility>

namespace vl {

namespace {

// kAudioDevicePropertyDeviceIsRunningSomewhere
constexpr AudioSelector isRunningSomewhere = fourCC("gone");

AudioPropertyAddress global(AudioSelector selector) {
    return AudioPropertyAddress{selector, audio::scopeGlobal, 0};
}

}  // namespace

MicDropperError::MicDropperError(Code code, const std::string& uid)
    : std::runtime_error("Virtual mic device '" + uid + "' not found (is the driver installed?)"),
      code_(code),
      description_(what()) {}

std::shared_ptr<MicDropper> MicDropper::make(std::shared_ptr<AudioHardware> audio,
                                             DispatchQueue& callbackQueue) {
    return std::shared_ptr<MicDropper>(new MicDropper(std::move(audio), callbackQueue));
}

MicDropper::MicDropper(std::shared_ptr<AudioHardware> audio, DispatchQueue& callbackQueue)
    : audio_(std::move(audio)),
      callbackQueue_(callbackQueue),
      listenerQueue_(std::make_shared<DispatchQueue>("com.corvane.vantrellink.mic.iorun")) {}

MicDropper::~MicDropper() {
    stopControlListener();
}

std::optional<AudioObjectID> MicDropper::deviceID() const {
    std::lock_guard lock(mutex_);
    return deviceID_;
}

std::optional<AudioObjectID> MicDropper::resolveDevice() {
    {
        std::lock_guard lock(mutex_);
        if (deviceID_) return deviceID_;
    }
    auto found = ZuAudio(audio_).findDevice(audio::microphoneUID);
    std::lock_guard lock(mutex_);
    if (found && !deviceID_) deviceID_ = found;
    return deviceID_;
}

void MicDropper::setup() {
    auto device = resolveDevice();
    if (!device) throw MicDropperError(MicDropperError::Code::deviceNotFound, audio::microphoneUID);
    logMsg("👁🤖 MicDropper: bound to device " + std::to_string(*device) + " via UID " +
           audio::microphoneUID);
}

void MicDropper::send(std::span<const float> samples) {
    if (samples.empty()) return;
    auto device = resolveDevice();
    if (!device) return;
    Bytes pcm(samples.size() * sizeof(float));
    std::memcpy(pcm.data(), samples.data(), pcm.size());
    const AudioStatus status = audio_->setProperty(*device, global(audio::micPCM), std::move(pcm));
    if (status != audiostatus::noError)
        logMsg("👁🤖 MicDropper: mpcm set failed: " + ZuAudio::statusString(status),
               LogLevel::warning);
}

void MicDropper::startControlListener() {
    {
        std::lock_guard lock(mutex_);
        if (mrunListener_ || runningSomewhereListener_) return;
    }
    auto device = resolveDevice();
    if (!device) return;
    std::weak_ptr<MicDropper> weak = weak_from_this();
    auto changed = [weak, queue = listenerQueue_] {
        queue->async([weak] {
            if (auto self = weak.lock()) self->handleRunningChanged();
        });
    };
    const AudioListenerToken mrun =
        audio_->addPropertyListener(*device, global(audio::micRunning), changed);
    if (mrun == 0)
        logMsg("👁🤖 MicDropper: add mrun listener failed: " +
                   ZuAudio::statusString(audiostatus::unsupportedOperation),
               LogLevel::warning);
    const AudioListenerToken somewhere =
        audio_->addPropertyListener(*device, global(isRunningSomewhere), changed);
    if (somewhere == 0)
        logMsg("👁🤖 MicDropper: add IsRunningSomewhere listener failed: " +
                   ZuAudio::statusString(audiostatus::unsupportedOperation),
               LogLevel::warning);
    {
        std::lock_guard lock(mutex_);
        if (mrun) mrunListener_ = mrun;
        if (somewhere) runningSomewhereListener_ = somewhere;
    }
    // The first reading on the listener queue too, so lastRunning_ has one owner.
    listenerQueue_->sync([this] { handleRunningChanged(); });
}

void MicDropper::stopControlListener() {
    std::optional<AudioListenerToken> mrun, somewhere;
    {
        std::lock_guard lock(mutex_);
        if (!deviceID_) return;
        mrun = std::exchange(mrunListener_, std::nullopt);
        somewhere = std::exchange(runningSomewhereListener_, std::nullopt);
    }
    if (mrun) audio_->removePropertyListener(*mrun);
    if (somewhere) audio_->removePropertyListener(*somewhere);
}

void MicDropper::handleRunningChanged() {
    auto device = deviceID();
    if (!device) return;
    const std::uint32_t mrun = ZuAudio(audio_).getUInt32(*device, audio::micRunning).value_or(0);
    const std::uint32_t somewhere =
        ZuAudio(audio_).getUInt32(*device, isRunningSomewhere).value_or(0);
    const std::uint32_t running = (mrun != 0 || somewhere != 0) ? 1 : 0;
    if (running == lastRunning_) return;
    lastRunning_ = running;
    logMsg("👁🤖 MicDropper: driver IO running = " + std::to_string(running) +
           " (mrun=" + std::to_string(mrun) + " somewhere=" + std::to_string(somewhere) + ")");
    auto callback = running ? onIOStart : onIOStop;
    if (callback) callbackQueue_.async(std::move(callback));
}

}  // namespace vl
