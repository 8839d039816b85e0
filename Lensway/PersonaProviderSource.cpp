#include "Lensway/PersonaProviderSource.h"

#include "base/Log.h"

namespace vl::lensway {

PersonaProviderSource::PersonaProviderSource(CameraHost& host, std::shared_ptr<NotifyCenter> notify,
                                             PersonaDeviceSource::Options options)
    : host_(host),
      notify_(notify),
      deviceSource_(std::make_unique<PersonaDeviceSource>(host, notify, std::move(options))) {}

PersonaProviderSource::~PersonaProviderSource() {
    for (auto token : tokens_) notify_->removeObserver(token);
}

void PersonaProviderSource::start() {
    for (const char* name : {showDeviceName, hideDeviceName}) {
        const bool show = std::string(name) == showDeviceName;
        auto token = notify_->addObserver(name, [this, show](const std::string&) {
            if (show)
                showDevice();
            else
                hideDevice();
        });
        if (token)
            tokens_.push_back(*token);
        else
            logMsg(std::string("❌ Provider: cannot observe ") + name, LogLevel::error);
    }
}

bool PersonaProviderSource::isDeviceVisible() const {
    std::lock_guard lock(mutex_);
    return isDeviceVisible_;
}

void PersonaProviderSource::showDevice() {
    // A server that (re)starts its relay while an application streams learns the size again.
    if (deviceSource_->streamingCounter() != 0)
        deviceSource_->streamSource().postFormatNotification();
    std::lock_guard lock(mutex_);
    if (isDeviceVisible_) return;
    PersonaStreamSource& stream = deviceSource_->streamSource();
    auto error =
        host_.addDevice({[&stream] { stream.startStream(); }, [&stream] { stream.stopStream(); },
                         [&stream](int index) { stream.setActiveFormatIndex(index); }});
    if (error) {
        logMsg("Failed to add device: " + *error, LogLevel::error);
        return;
    }
    isDeviceVisible_ = true;
    logMsg("Provider: device \"" + cameraName + "\" added");
}

void PersonaProviderSource::hideDevice() {
    std::lock_guard lock(mutex_);
    if (!isDeviceVisible_) return;
    if (auto error = host_.removeDevice()) {
        logMsg("Failed to remove device: " + *error, LogLevel::error);
        return;
    }
    isDeviceVisible_ = false;
    logMsg("Provider: device \"" + cameraName + "\" removed");
}

}  // namespace vl::lensway
