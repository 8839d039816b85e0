#include "Capture/VNSCaptureConfig.h"

#include <cmath>

namespace vl {

double VNSCaptureConfig::averageBitrateMbps(int width, int height) const {
    if (bitrateMbps > 0) return bitrateMbps;
    const double pixels = static_cast<double>(width) * static_cast<double>(height);
    return pixels / referencePixels * (hdrEnabled ? 75.0 : 60.0);
}

double VNSCaptureConfig::effectiveMaxBitrateMbps(int width, int height) const {
    if (maxBitrateMbps > 0) return maxBitrateMbps;
    return 1.5 * averageBitrateMbps(width, height);
}

std::int64_t VNSCaptureConfig::maxKeyFrameIntervalFrames() const {
    return effectiveFps() * static_cast<std::int64_t>(std::trunc(keyFrameIntervalSeconds));
}

}  // namespace vl
