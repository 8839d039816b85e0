#include "input/ElementQueries.h"

#include <algorithm>
#include <cmath>

namespace vl {
namespace {

constexpr int ancestorsLookedAt = 12;
constexpr double columnReach = 26.0;

bool isTextContent(std::optional<ElementRole> role) {
    return role == ElementRole::textArea || role == ElementRole::textField ||
           role == ElementRole::staticText || role == ElementRole::opaqueProviderGroup;
}

struct Candidate {
    double position = 0;
    double distance = 0;
};

}  // namespace

ElementQueries::ElementQueries(std::shared_ptr<AccessibilityService> accessibility)
    : accessibility_(std::move(accessibility)) {}

std::optional<ElementRef> ElementQueries::axAncestor(ElementRef element,
                                                     std::initializer_list<ElementRole> roles) {
    std::optional<ElementRef> current = element;
    for (int i = 0; i < ancestorsLookedAt && current; ++i) {
        const auto role = accessibility_->role(*current);
        if (role && std::find(roles.begin(), roles.end(), *role) != roles.end()) return current;
        current = accessibility_->parent(*current);
    }
    return std::nullopt;
}

std::optional<DisplayRect> ElementQueries::axFrame(ElementRef element) {
    auto frame = accessibility_->frame(element);
    if (!frame || !(frame->width > 0) || !(frame->height > 0)) return std::nullopt;
    return frame;
}

std::optional<ScrollThumbAxis> ElementQueries::scrollThumbAxis(DisplayPoint point) {
    const auto element = accessibility_->elementAt(point);
    if (!element || accessibility_->role(*element) != ElementRole::valueIndicator)
        return std::nullopt;
    if (auto bar = axAncestor(*element, {ElementRole::scrollBar})) {
        if (auto orientation = accessibility_->orientation(*bar))
            return *orientation == ElementOrientation::vertical ? ScrollThumbAxis::vertical
                                                                : ScrollThumbAxis::horizontal;
    }
    const auto frame = axFrame(*element);
    if (!frame) return std::nullopt;
    return frame->width <= frame->height ? ScrollThumbAxis::vertical : ScrollThumbAxis::horizontal;
}

std::optional<double> ElementQueries::columnDividerX(ElementRef element, DisplayPoint point) {
    const auto header = accessibility_->header(element);
    if (!header) return std::nullopt;
    const auto frame = axFrame(element);
    if (!frame || !frame->contains(point)) return std::nullopt;
    std::optional<Candidate> best;
    for (ElementRef child : accessibility_->children(*header)) {
        const auto cell = axFrame(child);
        if (!cell) continue;
        const double distance = std::abs(cell->maxX() - point.x);
        if (distance < columnReach && (!best || distance < best->distance))
            best = Candidate{cell->maxX(), distance};
    }
    if (!best) return std::nullopt;
    return best->position;
}

std::optional<DisplayPoint> ElementQueries::snapToDivider(DisplayPoint point) {
    const auto pressed = accessibility_->elementAt(point);
    const bool pressedOnText = pressed && isTextContent(accessibility_->role(*pressed));

    // Along one axis: splitters across it snap to their middle, split groups to the sample.
    auto search = [&](bool alongX) -> std::optional<double> {
        std::optional<Candidate> best;
        for (int offset = -26; offset <= 22; offset += 4) {
            const DisplayPoint sample = alongX ? DisplayPoint{point.x + offset, point.y}
                                               : DisplayPoint{point.x, point.y + offset};
            const auto element = accessibility_->elementAt(sample);
            if (!element) continue;
            const auto role = accessibility_->role(*element);
            std::optional<Candidate> found;
            if (role == ElementRole::splitter) {
                const auto frame = axFrame(*element);
                const bool across = frame && (alongX ? frame->width <= frame->height
                                                     : frame->width > frame->height);
                if (across) {
                    const double middle = alongX ? frame->minX() + frame->width / 2
                                                 : frame->minY() + frame->height / 2;
                    found = Candidate{middle, std::abs((alongX ? point.x : point.y) - middle)};
                }
            } else if (role == ElementRole::splitGroup && !pressedOnText) {
                found = Candidate{(alongX ? point.x : point.y) + offset,
                                  std::abs(static_cast<double>(offset))};
            }
            if (found && (!best || found->distance < best->distance)) best = found;
        }
        if (!best) return std::nullopt;
        return best->position;
    };

    if (auto x = search(true)) return DisplayPoint{*x, point.y};
    if (auto y = search(false)) return DisplayPoint{point.x, *y};
    if (!pressed) return std::nullopt;
    const auto table =
        axAncestor(*pressed, {ElementRole::table, ElementRole::outline, ElementRole::browser});
    if (!table) return std::nullopt;
    if (auto x = columnDividerX(*table, point)) return DisplayPoint{*x, point.y};
    return std::nullopt;
}

}  // namespace vl
