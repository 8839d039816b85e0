#include "phantomScreen/Resolution.h"

namespace vl {

namespace {

struct Row {
    Resolution::Case value;
    int width;
    int height;
    const char* prefix;
};

constexpr std::array<Row, 10> table = {{
    {Resolution::RES_XSS, 1280, 720, "HD720-"},
    {Resolution::RES_XS, 1920, 1080, "HD-"},
    {Resolution::RES_S, 2560, 1440, "2.5K-"},
    {Resolution::RES_M, 3840, 2160, "4K-"},
    {Resolution::RES_L, 6144, 3160, "HDR 6K-"},
    {Resolution::RES_XL, 7680, 4320, "HDR 8K-"},
    {Resolution::RES_XXL, 8160, 7200, "HDR 8KI-"},
    {Resolution::RES_S1, 1366, 768, "WXGA-"},
    {Resolution::RES_S2, 3440, 1440, "4K-"},
    {Resolution::RES_S3, 5120, 2880, "5K-"},
}};

}  // namespace

const std::array<Resolution, 10>& Resolution::allCases() {
    static const std::array<Resolution, 10> cases = {RES_XSS, RES_XS,  RES_S,  RES_M,  RES_L,
                                                     RES_XL,  RES_XXL, RES_S1, RES_S2, RES_S3};
    return cases;
}

std::optional<Resolution> Resolution::fromRawValue(std::int32_t rawValue) {
    for (const auto& row : table)
        if (row.value == rawValue) return Resolution(row.value);
    return std::nullopt;
}

Resolution Resolution::from(int width, int height) {
    for (const auto& row : table)
        if (row.width == width && row.height == height) return Resolution(row.value);
    return RES_XS;
}

int Resolution::modeIndex() const {
    for (std::size_t i = 0; i < table.size(); ++i)
        if (table[i].value == value_) return int(i);
    return -1;
}

std::pair<int, int> Resolution::resolution() const {
    int index = modeIndex();
    if (index < 0) return {0, 0};
    return {table[index].width, table[index].height};
}

std::string Resolution::description() const {
    int index = modeIndex();
    if (index < 0) return "unknown-" + std::to_string(value_);
    const auto& row = table[index];
    return row.prefix + std::to_string(row.width) + "x" + std::to_string(row.height);
}

}  // namespace vl
