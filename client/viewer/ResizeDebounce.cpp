#include "client/viewer/ResizeDebounce.h"

namespace vl {

void ResizeDebounce::resized(PixelSize size, Clock::time_point now) {
    if (pending_ ? size == *pending_ : size == current_) return;
    // Back to the size in use: nothing to ask for.
    if (size == current_) {
        pending_.reset();
        return;
    }
    pending_ = size;
    lastChange_ = now;
}

std::optional<PixelSize> ResizeDebounce::due(Clock::time_point now) {
    if (!pending_ || now - lastChange_ < quiet_) return std::nullopt;
    current_ = *pending_;
    pending_.reset();
    return current_;
}

std::optional<ResizeDebounce::Clock::time_point> ResizeDebounce::deadline() const {
    if (!pending_) return std::nullopt;
    return lastChange_ + quiet_;
}

}  // namespace vl
