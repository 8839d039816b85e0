// client/viewer: pictures as the window's 8-bit YUV texture takes them. 10-bit pictures are cut to
// 8 bits; HDR ones (PQ) are tone-mapped first: reference white (203 nits) stays near the top of
// the SDR range and highlights up to 1000 nits roll off into what is left, on luma alone.
#pragma once

#include "platform/videocodec/libavcodec/HevcDecoder.h"

#include <array>
#include <cstdint>
#include <vector>

namespace vl {

// H.273 transfer characteristics of the HDR signals.
constexpr int transferPQ = 16;
constexpr int transferHLG = 18;

// 10-bit limited-range PQ luma → 8-bit limited-range SDR luma.
std::uint8_t toneMapPQ(int luma10);

struct Planes8 {
    int width = 0, height = 0;
    std::vector<std::uint8_t> planes[3];
    int strides[3] = {0, 0, 0};
};

class ToneMapper {
  public:
    ToneMapper();
    // The picture in 8 bits; an 8-bit picture's planes are copied as they are.
    Planes8 convert(const DecodedPicture& picture) const;

  private:
    std::array<std::uint8_t, 1024> pq_{};
};

}  // namespace vl
