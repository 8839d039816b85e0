// input: the elements under the pointer that the gestures treat specially — scroll-bar thumbs,
// split-view dividers and table column boundaries — found through the accessibility service.
#pragma once

#include "input/PointerTargets.h"
#include "platform/accessibility/Interface.h"

#include <initializer_list>
#include <memory>
#include <optional>

namespace vl {

class ElementQueries {
  public:
    explicit ElementQueries(std::shared_ptr<AccessibilityService> accessibility);

    // The element itself or its nearest ancestor (at most 11 up) with one of the roles.
    std::optional<ElementRef> axAncestor(ElementRef element,
                                         std::initializer_list<ElementRole> roles);
    // The element's frame; none without a positive size.
    std::optional<DisplayRect> axFrame(ElementRef element);

    std::optional<ScrollThumbAxis> scrollThumbAxis(DisplayPoint point);
    // x of the column boundary of the element's header nearest to the point (under 26 points).
    std::optional<double> columnDividerX(ElementRef element, DisplayPoint point);
    std::optional<DisplayPoint> snapToDivider(DisplayPoint point);

  private:
    std::shared_ptr<AccessibilityService> accessibility_;
};

}  // namespace vl
