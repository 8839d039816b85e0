// comm: the camera relay of a session — the camera server on the camera port while the session
// runs, with the camera device shown for as long (the daemon publishes it on the show
// notification and withdraws it on the hide notification).
#pragma once

#include "comm/CamServer.h"
#include "comm/SessionEnvironment.h"

#include <memory>
#include <mutex>

namespace vl {

class CameraRelay final : public CamRelay {
  public:
    static constexpr const char* showDeviceName = CamServer::showDeviceName;
    static constexpr const char* hideDeviceName = "com.corvane.cam.persona.hideDevice";

    CameraRelay(TlsIdentitySource identity, CamServer::Services services);

    void startVisionProCam(const MediaPort& port) override;
    void stopVisionProCam() override;

    std::shared_ptr<CamServer> camServer() const;

  private:
    const TlsIdentitySource identity_;
    const CamServer::Services services_;
    mutable std::mutex mutex_;
    std::shared_ptr<CamServer> camServer_;
};

}  // namespace vl
