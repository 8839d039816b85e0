// platform/accessibility/atspi: parts of controls that toolkits draw but do not publish as
// elements — a scroll bar's thumb and a split view's divider — computed from what they do publish.
#pragma once

#include "platform/accessibility/Interface.h"

#include <optional>

namespace vl::atspi {

struct ValueRange {
    double minimum = 0;
    double maximum = 0;  // the largest value, the page already taken off
    double current = 0;
};

// The thumb of a scroll bar spanning `bar`. Toolkits count scroll values in pixels of the content,
// so the page (what the thumb stands for) is taken as long as the bar itself.
std::optional<DisplayRect> scrollThumbFrame(const DisplayRect& bar, ElementOrientation orientation,
                                            const ValueRange& value);

// The divider between a split view's two panes: the gap between their frames; with one pane
// shown, the split view's value (the divider's position) as a line. At least `minimumThickness`
// across, centred on the gap, so that points sampled a few points apart still find it.
// `panesSideBySide` is true when the panes sit left and right of a vertical divider.
std::optional<DisplayRect> dividerFrame(const DisplayRect& group, bool panesSideBySide,
                                        const std::optional<DisplayRect>& first,
                                        const std::optional<DisplayRect>& second,
                                        std::optional<double> position,
                                        double minimumThickness = 6.0);

}  // namespace vl::atspi
