// platform/pathmonitor/fake: a monitor the test fires by hand.
#pragma once

#include "base/DispatchQueue.h"
#include "platform/pathmonitor/Interface.h"

#include <atomic>
#include <memory>

namespace vl {

class FakePathMonitor final : public PathMonitor {
  public:
    void setUpdateHandler(std::function<void()> handler) override { handler_ = std::move(handler); }
    void start(DispatchQueue& queue) override {
        queue_ = &queue;
        started = true;
    }
    void cancel() override {
        cancelled = true;
        *wasCancelled = true;
    }

    // Delivers one path update, as the platform would after a change.
    void fire() {
        if (queue_ && !cancelled && handler_) queue_->async(handler_);
    }

    std::atomic<bool> started{false}, cancelled{false};
    // Readable after the monitor is gone (its owner destroys it right after cancelling).
    std::shared_ptr<std::atomic<bool>> wasCancelled = std::make_shared<std::atomic<bool>>(false);

  private:
    std::function<void()> handler_;
    DispatchQueue* queue_ = nullptr;
};

}  // namespace vl
