// platform/cameradevices/fake: devices the test adds and removes, recording every frame written.
#pragma once

#include "platform/cameradevices/Interface.h"

#include <map>
#include <mutex>
#include <vector>

namespace vl {

class FakeCameraDevices final : public CameraDevices {
  public:
    void addDevice(const std::string& uid, CameraDeviceID id) {
        std::lock_guard lock(mutex_);
        devices_[uid] = id;
    }
    void removeDevice(const std::string& uid) {
        std::lock_guard lock(mutex_);
        devices_.erase(uid);
    }
    void failWritesWith(CameraStatus status) {
        std::lock_guard lock(mutex_);
        writeStatus_ = status;
    }

    std::optional<CameraDeviceID> deviceWithUID(const std::string& uid) override {
        std::lock_guard lock(mutex_);
        ++lookups_;
        auto found = devices_.find(uid);
        if (found == devices_.end()) return std::nullopt;
        return found->second;
    }
    CameraStatus setEncodedFrame(CameraDeviceID device, ByteView frame) override {
        std::lock_guard lock(mutex_);
        if (writeStatus_ != CameraStatus::noErr) return writeStatus_;
        frames_.push_back({device, Bytes(frame.begin(), frame.end())});
        return CameraStatus::noErr;
    }
    bool hasEncodedFrameProperty(CameraDeviceID) override { return true; }
    Settable isEncodedFrameSettable(CameraDeviceID) override { return {true, CameraStatus::noErr}; }

    struct Written {
        CameraDeviceID device;
        Bytes frame;
    };
    std::vector<Written> frames() const {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    int lookups() const {
        std::lock_guard lock(mutex_);
        return lookups_;
    }

  private:
    mutable std::mutex mutex_;
    std::map<std::string, CameraDeviceID> devices_;
    std::vector<Written> frames_;
    CameraStatus writeStatus_ = CameraStatus::noErr;
    int lookups_ = 0;
};

}  // namespace vl
