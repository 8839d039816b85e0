// comm: the microphone relay of a session — the microphone server on the microphone port while
// the session runs, with the virtual microphone shown for as long and told the port.
#pragma once

#include "comm/MicServer.h"
#include "comm/SessionEnvironment.h"

#include <memory>
#include <mutex>

namespace vl {

class MicrophoneRelay final : public MicRelay {
  public:
    // The device's recording starts and stops are told on `callbackQueue`.
    MicrophoneRelay(TlsIdentitySource identity, std::shared_ptr<AudioHardware> audio,
                    DispatchQueue& callbackQueue);
    ~MicrophoneRelay() override;

    void startVisionProMic(const MediaPort& port) override;
    void stopVisionProMic() override;

    std::shared_ptr<MicServer> micServer() const;

  private:
    const TlsIdentitySource identity_;
    const std::shared_ptr<AudioHardware> audio_;
    DispatchQueue& callbackQueue_;
    // The device's properties are the microphone host's, which may be slow to answer or hung:
    // they are set here, in order, so the session's own queue never waits for them.
    const std::shared_ptr<DispatchQueue> deviceQueue_ = DispatchQueue::dedicated("MicDeviceQueue");
    mutable std::mutex mutex_;
    std::shared_ptr<MicServer> micServer_;
};

}  // namespace vl
