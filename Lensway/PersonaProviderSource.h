// Lensway: the camera provider. It publishes the device only between the server's show and hide
// notifications, so applications list the camera only while a session relays one.
#pragma once

#include "Lensway/CameraHost.h"
#include "Lensway/PersonaDeviceSource.h"
#include "platform/notify/Interface.h"

#include <memory>
#include <mutex>
#include <vector>

namespace vl::lensway {

class PersonaProviderSource {
  public:
    PersonaProviderSource(CameraHost& host, std::shared_ptr<NotifyCenter> notify,
                          PersonaDeviceSource::Options options = {});
    ~PersonaProviderSource();

    // Observes the show and hide notifications; the device is not added yet.
    void start();

    void showDevice();
    void hideDevice();
    bool isDeviceVisible() const;
    PersonaDeviceSource& deviceSource() { return *deviceSource_; }

    const std::string cameraName = lensway::cameraName;
    const std::string cameraManufacturer = lensway::cameraManufacturer;

  private:
    CameraHost& host_;
    const std::shared_ptr<NotifyCenter> notify_;
    std::unique_ptr<PersonaDeviceSource> deviceSource_;
    mutable std::mutex mutex_;  // visibility; show and hide arrive on the notify thread
    bool isDeviceVisible_ = false;
    std::vector<NotifyCenter::Token> tokens_;
};

}  // namespace vl::lensway
