// platform/accessibility: user-interface elements of other applications — the element at a
// point, its role, parent, frame, orientation, and a table's header and children. Backends
// answer none when no accessibility bus runs or it does not answer in time; callers then fall
// back to plain events.
#pragma once

#include "platform/display/Interface.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace vl {

// Handle of an element, valid while its application keeps it.
using ElementRef = std::uint64_t;

enum class ElementRole {
    other,
    valueIndicator,  // a scroll bar's thumb
    scrollBar,
    splitter,    // the divider of a split view
    splitGroup,  // a split view
    table,
    outline,  // a tree table
    browser,  // a column browser
    textArea,
    textField,
    staticText,
    opaqueProviderGroup,  // a text view drawn by the application itself
};
std::string_view description(ElementRole role);

enum class ElementOrientation { vertical, horizontal };

class AccessibilityService {
  public:
    virtual ~AccessibilityService() = default;
    // The deepest element at the point.
    virtual std::optional<ElementRef> elementAt(DisplayPoint point) = 0;
    virtual std::optional<ElementRole> role(ElementRef element) = 0;
    virtual std::optional<ElementRef> parent(ElementRef element) = 0;
    // Position and size in global coordinates; a missing position counts as the origin.
    virtual std::optional<DisplayRect> frame(ElementRef element) = 0;
    virtual std::optional<ElementOrientation> orientation(ElementRef element) = 0;
    // A table's column header row.
    virtual std::optional<ElementRef> header(ElementRef element) = 0;
    virtual std::vector<ElementRef> children(ElementRef element) = 0;
};

}  // namespace vl
