// Capture: the server's side of the virtual microphone: pushes the client's decoded PCM into the
// device and reports when some application starts or stops recording from it (onIOStart /
// onIOStop, on the callback queue — the main queue in the program).
#pragma once

#include "base/DispatchQueue.h"
#include "platform/audio/Interface.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

namespace vl {

class MicDropperError : public std::runtime_error {
  public:
    enum class Code { deviceNotFound = 1 };
    MicDropperError(Code code, const std::string& uid);
    Code code() const { return code_; }
    const std::string& description() const { return description_; }

  private:
    Code code_;
    std::string description_;
};

class MicDropper : public std::enable_shared_from_this<MicDropper> {
  public:
    static std::shared_ptr<MicDropper> make(std::shared_ptr<AudioHardware> audio,
                                            DispatchQueue& callbackQueue);
    ~MicDropper();
    MicDropper(const MicDropper&) = delete;
    MicDropper& operator=(const MicDropper&) = delete;

    // Binds to the device; throws MicDropperError when there is none.
    void setup();
    // Interleaved stereo floats; dropped silently while the device cannot be found.
    void send(std::span<const float> samples);
    // Idempotent; reports a recording already in progress.
    void startControlListener();
    void stopControlListener();

    // Set before startControlListener().
    std::function<void()> onIOStart;
    std::function<void()> onIOStop;

    std::optional<AudioObjectID> deviceID() const;

  private:
    MicDropper(std::shared_ptr<AudioHardware> audio, DispatchQueue& callbackQueue);
    std::optional<AudioObjectID> resolveDevice();
    void handleRunningChanged();

    const std::shared_ptr<AudioHardware> audio_;
    DispatchQueue& callbackQueue_;
    const std::shared_ptr<DispatchQueue> listenerQueue_;

    mutable std::mutex mutex_;  // the device and the listener tokens
    std::optional<AudioObjectID> deviceID_;
    std::optional<AudioListenerToken> mrunListener_;
    std::optional<AudioListenerToken> runningSomewhereListener_;

    std::uint32_t lastRunning_ = 0;  // on the listener queue (and the first call's thread)
};

}  // namespace vl
