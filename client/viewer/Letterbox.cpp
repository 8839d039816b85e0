#include "client/viewer/Letterbox.h"

#include <cstdint>

namespace vl {

ViewRect letterbox(int pictureWidth, int pictureHeight, int windowWidth, int windowHeight) {
    if (pictureWidth <= 0 || pictureHeight <= 0 || windowWidth <= 0 || windowHeight <= 0) return {};
    // Compare the aspects in integers so that an exact fit has no one-pixel bar.
    const auto wide = std::int64_t(windowWidth) * pictureHeight;
    const auto tall = std::int64_t(windowHeight) * pictureWidth;
    ViewRect view;
    if (wide >= tall) {  // bars left and right
        view.height = windowHeight;
        view.width = static_cast<int>(tall / pictureHeight);
    } else {  // bars above and below
        view.width = windowWidth;
        view.height = static_cast<int>(wide / pictureWidth);
    }
    view.x = (windowWidth - view.width) / 2;
    view.y = (windowHeight - view.height) / 2;
    return view;
}

std::optional<ItemPosition> itemPosition(const ViewRect& view, double x, double y) {
    if (view.width <= 0 || view.height <= 0) return std::nullopt;
    ItemPosition position;
    position.horz = (x - view.x) / view.width;
    position.vert = (y - view.y) / view.height;
    position.inside =
        position.horz >= 0 && position.horz < 1 && position.vert >= 0 && position.vert < 1;
    return position;
}

}  // namespace vl
