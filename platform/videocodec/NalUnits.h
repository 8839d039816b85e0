// platform/videocodec: reading HEVC NAL units out of Annex-B byte streams.
#pragma once

#include "base/Bytes.h"

#include <vector>

namespace vl {

namespace HevcNalType {
inline constexpr int trailR = 1;
inline constexpr int idrWRadl = 19;
inline constexpr int idrNLp = 20;
inline constexpr int cra = 21;
inline constexpr int vps = 32;
inline constexpr int sps = 33;
inline constexpr int pps = 34;
inline constexpr int accessUnitDelimiter = 35;
inline constexpr int prefixSei = 39;
}  // namespace HevcNalType

// The units between start codes (00 00 01 or 00 00 00 01), without the start codes.
std::vector<ByteView> splitAnnexB(ByteView stream);
// The type from the unit's two-byte header; -1 for a unit shorter than its header.
int hevcNalUnitType(ByteView unit);

}  // namespace vl
