// client: what one video stream has delivered so far — frames, key frames, bytes — and the rates
// over a span of time.
#pragma once

#include "base/Bytes.h"

#include <cstdint>

namespace vl {

// True when the access unit starts (after its start code) with a video parameter set or an IDR
// slice: the server puts the parameter sets at the head of every key frame, and nothing else in
// the stream marks one.
bool startsWithKeyFrame(ByteView accessUnit);

struct StreamStats {
    std::uint64_t frames = 0;
    std::uint64_t keyFrames = 0;
    std::uint64_t bytes = 0;

    void add(ByteView accessUnit) {
        ++frames;
        bytes += accessUnit.size();
        if (startsWithKeyFrame(accessUnit)) ++keyFrames;
    }
    double fps(double seconds) const { return seconds > 0 ? frames / seconds : 0; }
    double megabitsPerSecond(double seconds) const {
        return seconds > 0 ? bytes * 8.0 / seconds / 1e6 : 0;
    }
    // What arrived since `earlier` (a snapshot of the same stream).
    StreamStats since(const StreamStats& earlier) const {
        return {frames - earlier.frames, keyFrames - earlier.keyFrames, bytes - earlier.bytes};
    }
};

}  // namespace vl
