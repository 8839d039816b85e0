// platform/capture: the frames a stream may have out at once. A buffer returns to the pool when
// its last holder lets it go; while `capacity` buffers are held, no new one is handed out.
#pragma once

#include "platform/capture/PixelBuffer.h"

#include <memory>
#include <vector>

namespace vl {

// Used from one queue at a time (the stream's capture queue).
class PixelBufferPool {
  public:
    explicit PixelBufferPool(int capacity) : capacity_(capacity < 1 ? 1 : capacity) {}

    // A buffer of this size and format that nobody else holds (its contents are the last frame
    // drawn into it, or zero); null while `capacity` buffers are held elsewhere.
    std::shared_ptr<PixelBuffer> take(int width, int height, PixelFormat format,
                                      ColorDescription color);
    int capacity() const { return capacity_; }

  private:
    int capacity_;
    std::vector<std::shared_ptr<PixelBuffer>> buffers_;
};

}  // namespace vl
