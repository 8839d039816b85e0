// client/viewer: where the picture sits in the window — scaled to fit with its aspect ratio kept,
// centred, bars on the other axis — and a window point as a position within the shared item, the
// fractions of its width and height that pointer messages carry.
#pragma once

#include <optional>

namespace vl {

struct ViewRect {
    int x = 0, y = 0, width = 0, height = 0;
    friend bool operator==(const ViewRect&, const ViewRect&) = default;
};

// The largest rectangle of the picture's aspect that fits the window, centred. Empty when either
// size is empty.
ViewRect letterbox(int pictureWidth, int pictureHeight, int windowWidth, int windowHeight);

struct ItemPosition {
    double horz = 0;  // 0 at the picture's left edge, 1 at its right edge
    double vert = 0;
    bool inside = false;  // on the picture rather than on a bar or outside the window
};

// The window point (x, y) within the picture shown in `view`; positions on the bars lie outside
// 0..1 (the server clamps them, so a drag past the edge ends on the edge). Nothing for an empty
// view.
std::optional<ItemPosition> itemPosition(const ViewRect& view, double x, double y);

}  // namespace vl
