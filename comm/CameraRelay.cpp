#include "comm/CameraRelay.h"

#include "base/Log.h"

#include <utility>

namespace vl {

CameraRelay::CameraRelay(TlsIdentitySource identity, CamServer::Services services,
                         std::chrono::milliseconds watchInterval, TimerClock& clock)
    : identity_(std::move(identity)),
      services_(std::move(services)),
      watchInterval_(watchInterval),
      clock_(clock) {}

CameraRelay::~CameraRelay() {
    stopWatching();
}

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
    watchDevice();
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
    stopWatching();
    server->stop();
    services_.notify->post(hideDeviceName);
}

void CameraRelay::watchDevice() {
    auto timer = DispatchTimer::make(watchQueue_, clock_);
    timer->schedule(clock_.now() + watchInterval_, watchInterval_);
    // Only a daemon that answers is asked to show it: an absent one would hear nothing.
    timer->setEventHandler([devices = services_.devices, notify = services_.notify] {
        if (devices->deviceWithUID(CamServer::camDeviceUID)) return;
        if (!devices->hasEncodedFrameProperty(0)) return;
        logMsg("The camera daemon answers without the camera: showing it again");
        notify->post(showDeviceName);
    });
    timer->resume();
    std::lock_guard lock(mutex_);
    if (watch_) watch_->cancel();
    watch_ = std::move(timer);
}

void CameraRelay::stopWatching() {
    std::shared_ptr<DispatchTimer> watch;
    {
        std::lock_guard lock(mutex_);
        watch = std::exchange(watch_, nullptr);
    }
    if (!watch) return;
    watch->cancel();
    watchQueue_.sync([] {});  // a look already under way finishes before the hide goes out
}

}  // namespace vl
