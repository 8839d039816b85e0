// input: which edges of a window a point grabs, and the frame a resize gives, with the minimum
// window size.
#pragma once

#include "input/PointerTargets.h"

namespace vl {

inline constexpr double minimumWindowWidth = 160;
inline constexpr double minimumWindowHeight = 100;

ResizeEdges resizeEdges(DisplayPoint point, const DisplayRect& frame);

// The frame for the pointer at `point` during the resize.
DisplayRect resizedFrame(const AXResize& resize, DisplayPoint point);

}  // namespace vl
