#include "platform/cameradevices/lensway/LenswayCameraDevices.h"

#include "platform/localsocket/LocalSocket.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace vl {

LenswayCameraDevices::LenswayCameraDevices(std::optional<std::filesystem::path> socket)
    : socket_(socket ? std::move(socket) : lensway::socketPath()) {}

LenswayCameraDevices::~LenswayCameraDevices() {
    std::lock_guard lock(mutex_);
    closeLocked();
}

bool LenswayCameraDevices::connectLocked() {
    if (fd_ >= 0) return true;
    if (!socket_) return false;
    const int fd = localsocket::connectTo(*socket_, true);
    if (fd < 0) return false;
    timeval timeout{};
    timeout.tv_usec = static_cast<suseconds_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(ioTimeout).count());
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    fd_ = fd;
    reader_ = {};
    return true;
}

void LenswayCameraDevices::closeLocked() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::optional<CameraDeviceID> LenswayCameraDevices::deviceWithUID(const std::string& uid) {
    std::lock_guard lock(mutex_);
    // A connection that broke since the last call is only noticed by using it: try twice.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!connectLocked()) return std::nullopt;
        if (localsocket::writeAll(
                fd_, lensway::encode(lensway::MessageKind::deviceQuery, bytesOf(uid)))) {
            auto answer = lensway::readMessage(fd_, reader_);
            if (answer && answer->kind == lensway::MessageKind::deviceAnswer) {
                auto device = lensway::deviceOf(*answer);
                if (!device || *device == 0) return std::nullopt;
                return *device;
            }
        }
        closeLocked();
    }
    return std::nullopt;
}

CameraStatus LenswayCameraDevices::setEncodedFrame(CameraDeviceID device, ByteView frame) {
    if (frame.size() > maxFrameSize) return CameraStatus::propertyTooLarge;
    std::lock_guard lock(mutex_);
    if (!connectLocked()) return CameraStatus::unreachable;
    if (!localsocket::writeAll(
            fd_, lensway::encodeForDevice(lensway::MessageKind::encodedFrame, device, frame))) {
        // Part of a message may have gone out: the stream is out of step; start over next time.
        closeLocked();
        return CameraStatus::writeFailed;
    }
    return CameraStatus::noErr;
}

bool LenswayCameraDevices::hasEncodedFrameProperty(CameraDeviceID) {
    std::lock_guard lock(mutex_);
    return connectLocked();
}

CameraDevices::Settable LenswayCameraDevices::isEncodedFrameSettable(CameraDeviceID) {
    std::lock_guard lock(mutex_);
    if (!connectLocked()) return {false, CameraStatus::unreachable};
    return {true, CameraStatus::noErr};
}

}  // namespace vl
