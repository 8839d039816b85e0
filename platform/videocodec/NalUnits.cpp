#include "platform/videocodec/NalUnits.h"

namespace vl {

std::vector<ByteView> splitAnnexB(ByteView stream) {
    std::vector<ByteView> units;
    const std::size_t size = stream.size();
    std::size_t i = 0;
    std::size_t unitStart = size;  // none yet
    while (i + 2 < size) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            if (unitStart < size) {
                std::size_t end = i;
                // A four-byte start code's leading zero is not part of the unit before it.
                if (end > unitStart && stream[end - 1] == 0) --end;
                units.push_back(stream.subspan(unitStart, end - unitStart));
            }
            i += 3;
            unitStart = i;
        } else {
            ++i;
        }
    }
    if (unitStart < size) units.push_back(stream.subspan(unitStart));
    return units;
}

int hevcNalUnitType(ByteView unit) {
    if (unit.size() < 2) return -1;
    return (unit[0] >> 1) & 0x3f;
}

}  // namespace vl
