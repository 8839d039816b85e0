#include "input/ResizeGeometry.h"

#include <cmath>

namespace vl {
namespace {

constexpr double cornerReach = 36;
constexpr double edgeReach = 20;

// A maximum that ignores a value that is not a number.
double atLeast(double value, double minimum) {
    return std::isnan(value) ? minimum : std::max(value, minimum);
}

}  // namespace

ResizeEdges resizeEdges(DisplayPoint p, const DisplayRect& f) {
    const bool nearLeft = std::abs(p.x - f.minX()) <= cornerReach;
    const bool nearRight = std::abs(p.x - f.maxX()) <= cornerReach;
    const bool nearTop = std::abs(p.y - f.minY()) <= cornerReach;
    const bool nearBottom = std::abs(p.y - f.maxY()) <= cornerReach;
    if (nearLeft && nearTop) return resizeLeft | resizeTop;
    if (nearRight && nearTop) return resizeRight | resizeTop;
    if (nearLeft && nearBottom) return resizeLeft | resizeBottom;
    if (nearRight && nearBottom) return resizeRight | resizeBottom;

    if (p.x < f.minX() - edgeReach || p.x > f.maxX() + edgeReach || p.y < f.minY() - edgeReach ||
        p.y > f.maxY() + edgeReach)
        return 0;
    ResizeEdges edges = 0;
    if (std::abs(p.x - f.minX()) <= edgeReach) edges |= resizeLeft;
    if (std::abs(p.x - f.maxX()) <= edgeReach) edges |= resizeRight;
    // The band along the top belongs to the title bar.
    if (std::abs(p.y - f.maxY()) <= edgeReach) edges |= resizeBottom;
    return edges;
}

DisplayRect resizedFrame(const AXResize& resize, DisplayPoint point) {
    const double dx = point.x - resize.grab.x;
    const double dy = point.y - resize.grab.y;
    const DisplayRect& initial = resize.initialFrame;
    DisplayRect frame = initial;
    if (resize.edges & resizeRight) frame.width = atLeast(initial.width + dx, minimumWindowWidth);
    if (resize.edges & resizeLeft) {
        frame.width = atLeast(initial.width - dx, minimumWindowWidth);
        frame.x = initial.maxX() - frame.width;
    }
    if (resize.edges & resizeBottom)
        frame.height = atLeast(initial.height + dy, minimumWindowHeight);
    if (resize.edges & resizeTop) {
        frame.height = atLeast(initial.height - dy, minimumWindowHeight);
        frame.y = initial.maxY() - frame.height;
    }
    return frame;
}

}  // namespace vl
