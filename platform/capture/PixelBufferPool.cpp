#include "platform/capture/PixelBufferPool.h"

#include <algorithm>

namespace vl {

std::shared_ptr<PixelBuffer> PixelBufferPool::take(int width, int height, PixelFormat format,
                                                   ColorDescription color) {
    // Buffers of another size are of no further use once nobody holds them.
    std::erase_if(buffers_, [&](const std::shared_ptr<PixelBuffer>& buffer) {
        return buffer.use_count() == 1 &&
               (buffer->width != width || buffer->height != height || buffer->format != format);
    });
    for (auto& buffer : buffers_) {
        if (buffer.use_count() == 1) {
            buffer->color = color;
            return buffer;
        }
    }
    if (static_cast<int>(buffers_.size()) >= capacity_) return nullptr;
    buffers_.push_back(
        std::make_shared<PixelBuffer>(makePixelBuffer(width, height, format, color)));
    return buffers_.back();
}

}  // namespace vl
