// Capture: the settings of one display capture — frame rate, bit rates, key-frame spacing,
// cursor and dynamic range — and the figures derived from them.
#pragma once

#include <cstdint>

namespace vl {

struct VNSCaptureConfig {
    std::int64_t fps = 30;
    double bitrateMbps = 0;     // average; 0 or less: automatic
    double maxBitrateMbps = 0;  // peak; 0 or less: automatic
    double keyFrameIntervalSeconds = 2.0;
    bool showsCursor = true;
    bool hdrEnabled = false;

    // The pixel count of a 3840x2160 frame, the reference of the automatic bit rates.
    static constexpr double referencePixels = 8294400;

    // Mbit/s: the configured value, or 60 (SDR) / 75 (HDR) scaled by the frame's share of 4K.
    double averageBitrateMbps(int width, int height) const;
    // Mbit/s: the configured value, or 1.5 times the average.
    double effectiveMaxBitrateMbps(int width, int height) const;
    // Frames between key frames at most: fps times the whole seconds of the interval.
    std::int64_t maxKeyFrameIntervalFrames() const;
    // The rate frames are captured and stamped at; never below 1.
    std::int64_t effectiveFps() const { return fps < 1 ? 1 : fps; }

    friend bool operator==(const VNSCaptureConfig&, const VNSCaptureConfig&) = default;
};

}  // namespace vl
