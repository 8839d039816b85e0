// Lensway: the camera's one stream — its formats, the active format index, and the start and stop
// of consumers. Each start and each change of format while streaming is announced with the format
// notification, each stop with the stop notification, so the server asks the headset for video of
// that size or for none.
#pragma once

#include "Lensway/LenswayContract.h"
#include "platform/notify/Interface.h"

#include <atomic>
#include <memory>

namespace vl::lensway {

class PersonaDeviceSource;

class PersonaStreamSource {
  public:
    PersonaStreamSource(PersonaDeviceSource& device, std::shared_ptr<NotifyCenter> notify);

    static constexpr const auto& formats() { return cameraFormats; }
    int activeFormatIndex() const { return activeFormatIndex_; }
    CameraFormat activeFormat() const;
    // An index out of range is reported and changes nothing; a new one in range is announced.
    void setActiveFormatIndex(int index);

    void startStream();
    void stopStream();
    // Posts the active format's notification (or the stop notification).
    void postFormatNotification();
    void postStopNotification();

  private:
    PersonaDeviceSource& device_;
    const std::shared_ptr<NotifyCenter> notify_;
    std::atomic<int> activeFormatIndex_{0};
};

}  // namespace vl::lensway
