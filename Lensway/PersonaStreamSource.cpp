#include "Lensway/PersonaStreamSource.h"

#include "Lensway/PersonaDeviceSource.h"
#include "base/Log.h"

namespace vl::lensway {

PersonaStreamSource::PersonaStreamSource(PersonaDeviceSource& device,
                                         std::shared_ptr<NotifyCenter> notify)
    : device_(device), notify_(std::move(notify)) {}

CameraFormat PersonaStreamSource::activeFormat() const {
    const int index = activeFormatIndex_;
    return cameraFormats[static_cast<std::size_t>(index)];
}

void PersonaStreamSource::setActiveFormatIndex(int index) {
    if (index < 0 || index >= static_cast<int>(cameraFormats.size())) {
        logMsg("Stream: format index " + std::to_string(index) + " is out of range; ignored");
        return;
    }
    if (activeFormatIndex_.exchange(index) == index) return;
    device_.activeFormatChanged();
    postFormatNotification();
}

void PersonaStreamSource::startStream() {
    device_.startStreaming();
    postFormatNotification();
}

void PersonaStreamSource::stopStream() {
    device_.stopStreaming();
    postStopNotification();
}

void PersonaStreamSource::postFormatNotification() {
    const int index = activeFormatIndex_;
    if (index < 0 || index >= static_cast<int>(cameraFormats.size())) return;
    const std::string name = formatNotificationName(cameraFormats[static_cast<std::size_t>(index)]);
    notify_->post(name);
    logMsg("Posted format notification " + name);
}

void PersonaStreamSource::postStopNotification() {
    notify_->post(formatStopName);
    logMsg(std::string("Posted format notification ") + formatStopName);
}

}  // namespace vl::lensway
