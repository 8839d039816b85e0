#include "platform/accessibility/fake/FakeAccessibility.h"

namespace vl {

ElementRef FakeAccessibility::add(Element element) {
    std::lock_guard lock(mutex_);
    elements_[next_] = std::move(element);
    return next_++;
}

const FakeAccessibility::Element* FakeAccessibility::find(ElementRef element) const {
    auto found = elements_.find(element);
    return found == elements_.end() ? nullptr : &found->second;
}

std::optional<ElementRef> FakeAccessibility::elementAt(DisplayPoint point) {
    std::lock_guard lock(mutex_);
    for (auto it = elements_.rbegin(); it != elements_.rend(); ++it)
        if (it->second.hitTestable && it->second.frame && it->second.frame->contains(point))
            return it->first;
    return std::nullopt;
}

std::optional<ElementRole> FakeAccessibility::role(ElementRef element) {
    std::lock_guard lock(mutex_);
    const Element* e = find(element);
    return e ? e->role : std::nullopt;
}

std::optional<ElementRef> FakeAccessibility::parent(ElementRef element) {
    std::lock_guard lock(mutex_);
    const Element* e = find(element);
    return e ? e->parent : std::nullopt;
}

std::optional<DisplayRect> FakeAccessibility::frame(ElementRef element) {
    std::lock_guard lock(mutex_);
    const Element* e = find(element);
    return e ? e->frame : std::nullopt;
}

std::optional<ElementOrientation> FakeAccessibility::orientation(ElementRef element) {
    std::lock_guard lock(mutex_);
    const Element* e = find(element);
    return e ? e->orientation : std::nullopt;
}

std::optional<ElementRef> FakeAccessibility::header(ElementRef element) {
    std::lock_guard lock(mutex_);
    const Element* e = find(element);
    return e ? e->header : std::nullopt;
}

std::vector<ElementRef> FakeAccessibility::children(ElementRef element) {
    std::lock_guard lock(mutex_);
    std::vector<ElementRef> result;
    for (const auto& [ref, e] : elements_)
        if (e.parent == element) result.push_back(ref);
    return result;
}

}  // namespace vl
