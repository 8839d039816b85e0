#include "phantomScreen/Resolution.h"

#include "libPhantomScreen/ModeTable.h"

#include <utility>

namespace vl {

namespace {

using ps::modeTable;

// Names by resolution code; sizes and order come from the library's mode table.
const char* prefixOf(std::int32_t code) {
    switch (code) {
        case Resolution::RES_XSS:
            return "HD720-";
        case Resolution::RES_XS:
            return "HD-";
        case Resolution::RES_S:
            return "2.5K-";
        case Resolution::RES_M:
            return "4K-";
        case Resolution::RES_L:
            return "HDR 6K-";
        case Resolution::RES_XL:
            return "HDR 8K-";
        case Resolution::RES_XXL:
            return "HDR 8KI-";
        case Resolution::RES_S1:
            return "WXGA-";
        case Resolution::RES_S2:
            return "4K-";
        case Resolution::RES_S3:
            return "5K-";
    }
    return "";
}

template <std::size_t... Index>
constexpr std::array<Resolution, sizeof...(Index)> casesInTableOrder(
    std::index_sequence<Index...>) {
    return {Resolution(Resolution::Case(modeTable[Index].resolutionCode))...};
}

}  // namespace

const std::array<Resolution, 10>& Resolution::allCases() {
    static constexpr auto cases = casesInTableOrder(std::make_index_sequence<modeTable.size()>{});
    return cases;
}

std::optional<Resolution> Resolution::fromRawValue(std::int32_t rawValue) {
    for (const auto& row : modeTable)
        if (row.resolutionCode == rawValue) return Resolution(Case(rawValue));
    return std::nullopt;
}

Resolution Resolution::from(int width, int height) {
    for (const auto& row : modeTable)
        if (row.width == width && row.height == height) return Resolution(Case(row.resolutionCode));
    return RES_XS;
}

int Resolution::modeIndex() const {
    for (std::size_t i = 0; i < modeTable.size(); ++i)
        if (modeTable[i].resolutionCode == value_) return int(i);
    return -1;
}

std::pair<int, int> Resolution::resolution() const {
    int index = modeIndex();
    if (index < 0) return {0, 0};
    return {modeTable[index].width, modeTable[index].height};
}

std::string Resolution::description() const {
    int index = modeIndex();
    if (index < 0) return "unknown-" + std::to_string(value_);
    const auto& row = modeTable[index];
    return prefixOf(value_) + std::to_string(row.width) + "x" + std::to_string(row.height);
}

}  // namespace vl
