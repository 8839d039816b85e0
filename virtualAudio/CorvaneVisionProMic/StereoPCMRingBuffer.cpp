#include "StereoPCMRingBuffer.h"

#include <algorithm>
#include <cstring>

namespace vl::mic {

StereoPCMRingBuffer::StereoPCMRingBuffer(std::int64_t capacityFrames)
    : capacityFrames_(std::max<std::int64_t>(capacityFrames, 1)),
      storage_(static_cast<std::size_t>(capacityFrames_) * 2, 0.0f) {}

void StereoPCMRingBuffer::writeInterleaved(const float* frames, std::int64_t frameCount) {
    if (frameCount < 1 || !frames) return;
    // Only the newest capacity frames can survive the write.
    if (frameCount > capacityFrames_) {
        frames += (frameCount - capacityFrames_) * 2;
        frameCount = capacityFrames_;
    }
    std::lock_guard guard(lock_);
    std::int64_t tail = (head_ + count_) % capacityFrames_;
    std::int64_t left = frameCount;
    while (left > 0) {
        const std::int64_t run = std::min(left, capacityFrames_ - tail);
        std::memcpy(&storage_[tail * 2], frames, run * 2 * sizeof(float));
        frames += run * 2;
        left -= run;
        tail = (tail + run) % capacityFrames_;
    }
    const std::int64_t overflow = std::max<std::int64_t>(count_ + frameCount - capacityFrames_, 0);
    head_ = (head_ + overflow) % capacityFrames_;
    count_ = std::min(count_ + frameCount, capacityFrames_);
}

std::int64_t StereoPCMRingBuffer::read(float* into, std::int64_t frameCount) {
    if (frameCount < 1 || !into) return 0;
    std::int64_t n;
    {
        std::lock_guard guard(lock_);
        n = std::min(frameCount, count_);
        std::int64_t copied = 0;
        while (copied < n) {
            const std::int64_t run = std::min(n - copied, capacityFrames_ - head_);
            std::memcpy(into + copied * 2, &storage_[head_ * 2], run * 2 * sizeof(float));
            copied += run;
            head_ = (head_ + run) % capacityFrames_;
        }
        count_ -= n;
    }
    std::memset(into + n * 2, 0, (frameCount - n) * 2 * sizeof(float));
    return n;
}

void StereoPCMRingBuffer::clear() {
    std::lock_guard guard(lock_);
    head_ = 0;
    count_ = 0;
}

std::int64_t StereoPCMRingBuffer::count() const {
    std::lock_guard guard(lock_);
    return count_;
}

}  // namespace vl::mic
