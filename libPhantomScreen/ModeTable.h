// libPhantomScreen: the ten virtual display modes the library offers, in mode-index order, with
// the resolution code a host names each by. The library and the server both build from this one
// table, so an index or a code means the same mode on both sides.
#pragma once

#include <array>
#include <cstdint>

namespace vl::ps {

struct ModeTableRow {
    std::int32_t resolutionCode;
    std::int32_t width;
    std::int32_t height;
};

inline constexpr float modeRefreshRate = 90.0f;

inline constexpr std::array<ModeTableRow, 10> modeTable = {{
    {23, 1280, 720},
    {38, 1920, 1080},
    {82, 2560, 1440},
    {79, 3840, 2160},
    {54, 6144, 3160},
    {88, 7680, 4320},
    {99, 8160, 7200},
    {101, 1366, 768},
    {102, 3440, 1440},
    {103, 5120, 2880},
}};

}  // namespace vl::ps
