// virtualAudio: one second of interleaved stereo float frames between the server's pushes and
// the recorders' reads. A full ring overwrites its oldest frames; a short read is padded with
// silence. Storage is allocated once; the lock is held only for the copy.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace vl::mic {

class StereoPCMRingBuffer {
  public:
    explicit StereoPCMRingBuffer(std::int64_t capacityFrames);

    // Frames of two floats each; nothing for a count below 1.
    void writeInterleaved(const float* frames, std::int64_t frameCount);
    // Up to frameCount frames, the rest of the destination silence. How many were real.
    std::int64_t read(float* into, std::int64_t frameCount);
    void clear();

    std::int64_t capacityFrames() const { return capacityFrames_; }
    std::int64_t count() const;

  private:
    const std::int64_t capacityFrames_;
    std::vector<float> storage_;
    std::int64_t head_ = 0;
    std::int64_t count_ = 0;
    mutable std::mutex lock_;
};

}  // namespace vl::mic
