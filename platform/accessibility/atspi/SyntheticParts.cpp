#include "platform/accessibility/atspi/SyntheticParts.h"

#include <algorithm>
#include <cmath>

namespace vl::atspi {
namespace {

// A thumb never shrinks below what a finger (or a toolkit's minimum slider) can hold.
constexpr double smallestThumb = 16.0;

}  // namespace

std::optional<DisplayRect> scrollThumbFrame(const DisplayRect& bar, ElementOrientation orientation,
                                            const ValueRange& value) {
    if (!(bar.width > 0) || !(bar.height > 0)) return std::nullopt;
    if (!std::isfinite(value.minimum) || !std::isfinite(value.maximum) ||
        !std::isfinite(value.current))
        return std::nullopt;
    const bool vertical = orientation == ElementOrientation::vertical;
    const double length = vertical ? bar.height : bar.width;
    const double range = value.maximum - value.minimum;
    // Nothing to scroll: the thumb fills the track.
    if (!(range > 0)) return bar;
    const double thumb =
        std::clamp(length * length / (range + length), std::min(length, smallestThumb), length);
    const double fraction = std::clamp((value.current - value.minimum) / range, 0.0, 1.0);
    const double start = (length - thumb) * fraction;
    if (vertical) return DisplayRect{bar.x, bar.y + start, bar.width, thumb};
    return DisplayRect{bar.x + start, bar.y, thumb, bar.height};
}

std::optional<DisplayRect> dividerFrame(const DisplayRect& group, bool panesSideBySide,
                                        const std::optional<DisplayRect>& first,
                                        const std::optional<DisplayRect>& second,
                                        std::optional<double> position, double minimumThickness) {
    if (!(group.width > 0) || !(group.height > 0)) return std::nullopt;
    double from = 0;
    double to = 0;
    if (first && second) {
        from = panesSideBySide ? std::min(first->maxX(), second->minX())
                               : std::min(first->maxY(), second->minY());
        to = panesSideBySide ? std::max(first->maxX(), second->minX())
                             : std::max(first->maxY(), second->minY());
    } else if (position && std::isfinite(*position)) {
        from = (panesSideBySide ? group.minX() : group.minY()) + *position;
        to = from;
    } else {
        return std::nullopt;
    }
    const double grow = std::max(0.0, (minimumThickness - (to - from)) / 2);
    from -= grow;
    to += grow;
    if (panesSideBySide) return DisplayRect{from, group.y, to - from, group.height};
    return DisplayRect{group.x, from, group.width, to - from};
}

}  // namespace vl::atspi
