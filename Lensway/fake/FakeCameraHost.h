// Lensway/fake: a camera host that records the device's presence and the frames sent, and lets
// the test play the consumers (start, stop, format requests).
#pragma once

#include "Lensway/CameraHost.h"

#include <mutex>
#include <vector>

namespace vl::lensway {

class FakeCameraHost final : public CameraHost {
  public:
    std::optional<std::string> addDevice(StreamRequests requests) override {
        std::lock_guard lock(mutex_);
        if (failAdd) return "add refused";
        ++adds;
        requests_ = std::move(requests);
        present_ = true;
        return std::nullopt;
    }
    std::optional<std::string> removeDevice() override {
        std::lock_guard lock(mutex_);
        present_ = false;
        requests_ = {};
        return std::nullopt;
    }
    void send(const PixelBuffer& frame, std::int64_t) override {
        std::lock_guard lock(mutex_);
        ++frameCount_;
        frames_.push_back(frame);
        // Only the latest are kept: a long run would otherwise hold every frame.
        if (frames_.size() > keptFrames) frames_.erase(frames_.begin());
    }

    bool present() const {
        std::lock_guard lock(mutex_);
        return present_;
    }
    StreamRequests requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    static constexpr std::size_t keptFrames = 4;
    // The latest frames sent, oldest first.
    std::vector<PixelBuffer> frames() const {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    std::size_t frameCount() const {
        std::lock_guard lock(mutex_);
        return frameCount_;
    }

    bool failAdd = false;
    int adds = 0;

  private:
    mutable std::mutex mutex_;
    bool present_ = false;
    StreamRequests requests_;
    std::vector<PixelBuffer> frames_;
    std::size_t frameCount_ = 0;
};

}  // namespace vl::lensway
