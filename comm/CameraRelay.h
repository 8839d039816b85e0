// comm: the camera relay of a session — the camera server on the camera port while the session
// runs, with the camera device shown for as long (the daemon publishes it on the show
// notification and withdraws it on the hide notification). A daemon started again mid-session
// (its service manager restarts it) answers without the device: it is shown again.
#pragma once

#include "base/DispatchQueue.h"
#include "base/DispatchTimer.h"
#include "base/TimerClock.h"
#include "comm/CamServer.h"
#include "comm/SessionEnvironment.h"

#include <chrono>
#include <memory>
#include <mutex>

namespace vl {

class CameraRelay final : public CamRelay {
  public:
    static constexpr const char* showDeviceName = CamServer::showDeviceName;
    static constexpr const char* hideDeviceName = "com.corvane.cam.persona.hideDevice";

    // watchInterval: how often a running session asks the daemon whether it still shows the device,
    // on `clock`'s time.
    CameraRelay(TlsIdentitySource identity, CamServer::Services services,
                std::chrono::milliseconds watchInterval = std::chrono::seconds(2),
                TimerClock& clock = TimerClock::real());
    ~CameraRelay() override;

    void startVisionProCam(const MediaPort& port) override;
    void stopVisionProCam() override;

    std::shared_ptr<CamServer> camServer() const;

  private:
    void watchDevice();
    void stopWatching();

    const TlsIdentitySource identity_;
    const CamServer::Services services_;
    const std::chrono::milliseconds watchInterval_;
    TimerClock& clock_;
    DispatchQueue watchQueue_{"cameraWatchQueue"};
    mutable std::mutex mutex_;
    std::shared_ptr<CamServer> camServer_;
    std::shared_ptr<DispatchTimer> watch_;
};

}  // namespace vl
