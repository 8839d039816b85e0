#include "comm/CameraRelay.h"

#include "base/Log.h"

#include <utility>

namespace vl {

CameraRelay::CameraRelay(TlsIdentitySource identity, CamServer::Services services)
    : identity_(std::move(identity)), services_(std::move(services)) {}

std::shared_ptr<CamServer> CameraRelay::camServer() const {
    std::lock_guard lock(mutex_);
    return camServer_;
}

void CameraRelay::startVisionProCam(const MediaPort& port) {
    auto server = CamServer::make(static_cast<std::uint16_t>(port.port),
                                  std::make_shared<DispatchQueue>("camServerQueue"), "CamServer",
                                  identity_, port.gate, services_);
    std::shared_ptr<CamServer> previous;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(camServer_, server);
    }
    if (previous) previous->stop();
    services_.notify->post(showDeviceName);
    try {
        server->start();
        logMsg("Camera server started on port: " + std::to_string(server->boundPort()));
    } catch (const std::exception& error) {
        logMsg(std::string("Failed to start servers: ") + error.what(), LogLevel::error);
    }
}

void CameraRelay::stopVisionProCam() {
    std::shared_ptr<CamServer> server;
    {
        std::lock_guard lock(mutex_);
        server = std::exchange(camServer_, nullptr);
    }
    if (!server) return;
    server->stop();
    services_.notify->post(hideDeviceName);
}

}  // namespace vl
