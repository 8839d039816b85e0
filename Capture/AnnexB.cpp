#include "Capture/AnnexB.h"

namespace vl {

Bytes assembleAnnexB(ByteView units, int lengthFieldSize,
                     const std::vector<ByteView>& parameterSets) {
    const std::size_t fieldSize = lengthFieldSize >= 1 && lengthFieldSize <= 4
                                      ? static_cast<std::size_t>(lengthFieldSize)
                                      : 4;

    // Sized once: every length field becomes a start code of at most the same size plus three.
    std::size_t capacity = units.size() + 256;
    for (ByteView set : parameterSets) capacity += set.size() + sizeof annexBStartCode;
    Bytes out;
    out.reserve(capacity);

    auto appendUnit = [&out](ByteView unit) {
        out.insert(out.end(), std::begin(annexBStartCode), std::end(annexBStartCode));
        out.insert(out.end(), unit.begin(), unit.end());
    };

    for (ByteView set : parameterSets)
        if (!set.empty()) appendUnit(set);

    std::size_t offset = 0;
    while (offset < units.size()) {
        if (units.size() - offset < fieldSize) break;
        std::size_t length = 0;
        for (std::size_t i = 0; i < fieldSize; ++i) length = (length << 8) | units[offset + i];
        offset += fieldSize;
        if (length == 0 || length > units.size() - offset) break;
        appendUnit(units.subspan(offset, length));
        offset += length;
    }
    return out;
}

}  // namespace vl
