#include "client/StreamStats.h"

namespace vl {

bool startsWithKeyFrame(ByteView unit) {
    std::size_t at = 0;
    if (unit.size() >= 4 && unit[0] == 0 && unit[1] == 0 && unit[2] == 0 && unit[3] == 1)
        at = 4;
    else if (unit.size() >= 3 && unit[0] == 0 && unit[1] == 0 && unit[2] == 1)
        at = 3;
    else
        return false;
    if (unit.size() <= at) return false;
    const int type = (unit[at] >> 1) & 0x3f;
    return type == 32 || type == 19 || type == 20;  // VPS, IDR_W_RADL, IDR_N_LP
}

}  // namespace vl
