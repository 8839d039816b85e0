// Capture: turns one encoded picture — length-prefixed NAL units, plus the stream's parameter sets
// on key frames — into a self-contained Annex-B access unit with 4-byte start codes.
#pragma once

#include "base/Bytes.h"

#include <vector>

namespace vl {

inline constexpr std::uint8_t annexBStartCode[4] = {0, 0, 0, 1};

// `units`: the encoder's NAL units, each behind a big-endian length field of `lengthFieldSize`
// bytes (1, 2 or 4; another size reads that many bytes, at most 4, and 4 when below 1).
// `parameterSets`: video, sequence and picture parameter sets in index order, written ahead of the
// units (empty ones skipped); pass none for a picture that is not a key frame. The walk stops at a
// zero length or at a field or unit that would run past the end; what came before is kept.
Bytes assembleAnnexB(ByteView units, int lengthFieldSize,
                     const std::vector<ByteView>& parameterSets);

}  // namespace vl
