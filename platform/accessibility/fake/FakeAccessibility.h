// platform/accessibility fake: an element tree; the element at a point is the last added (the
// deepest, drawn on top) whose frame contains it.
#pragma once

#include "platform/accessibility/Interface.h"

#include <map>
#include <mutex>

namespace vl {

class FakeAccessibility final : public AccessibilityService {
  public:
    struct Element {
        std::optional<ElementRole> role;
        std::optional<ElementRef> parent;
        std::optional<DisplayRect> frame;
        std::optional<ElementOrientation> orientation;
        std::optional<ElementRef> header;
        // Found by its parent's children but never at a point (a header cell under a header).
        bool hitTestable = true;
    };

    ElementRef add(Element element);

    std::optional<ElementRef> elementAt(DisplayPoint point) override;
    std::optional<ElementRole> role(ElementRef element) override;
    std::optional<ElementRef> parent(ElementRef element) override;
    std::optional<DisplayRect> frame(ElementRef element) override;
    std::optional<ElementOrientation> orientation(ElementRef element) override;
    std::optional<ElementRef> header(ElementRef element) override;
    std::vector<ElementRef> children(ElementRef element) override;

  private:
    const Element* find(ElementRef element) const;
    mutable std::mutex mutex_;
    std::map<ElementRef, Element> elements_;
    ElementRef next_ = 1;
};

}  // namespace vl
