// A top-level X window with a known title, size and position, for tests: it names its process
// and class the way applications do and stays until it is terminated.
//   vl_test_window TITLE WIDTH HEIGHT X Y [CLASS] [TYPE]   (TYPE: normal or dock)
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

namespace {

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    auto reply = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::strlen(name), name), nullptr);
    xcb_atom_t result = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) return 2;
    const std::string title = argv[1];
    const int width = std::atoi(argv[2]), height = std::atoi(argv[3]);
    const int x = std::atoi(argv[4]), y = std::atoi(argv[5]);
    const std::string windowClass = argc > 6 ? argv[6] : "VlTestWindow";
    const std::string type = argc > 7 ? argv[7] : "normal";

    auto* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) return 1;
    auto* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const auto window = xcb_generate_id(c);
    const std::uint32_t values[] = {screen->white_pixel, XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, x, y, width, height, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);

    auto set = [&](xcb_atom_t property, xcb_atom_t kind, int format, std::size_t count,
                   const void* data) {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, property, kind, format, count, data);
    };
    set(XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, title.size(), title.data());
    set(atom(c, "_NET_WM_NAME"), atom(c, "UTF8_STRING"), 8, title.size(), title.data());
    const std::uint32_t pid = static_cast<std::uint32_t>(getpid());
    set(atom(c, "_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &pid);
    std::string instanceAndClass = windowClass;
    instanceAndClass.push_back('\0');
    instanceAndClass += windowClass;
    instanceAndClass.push_back('\0');
    set(XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, instanceAndClass.size(), instanceAndClass.data());
    // WM_NORMAL_HINTS with a user-given position, so the window manager keeps it.
    std::uint32_t hints[18] = {};
    hints[0] = 1 | 2;  // USPosition | USSize
    hints[1] = x;
    hints[2] = y;
    hints[3] = width;
    hints[4] = height;
    set(XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
    if (type == "dock") {
        const xcb_atom_t dock = atom(c, "_NET_WM_WINDOW_TYPE_DOCK");
        set(atom(c, "_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1, &dock);
    }
    xcb_map_window(c, window);
    xcb_flush(c);
    while (auto* event = xcb_wait_for_event(c)) std::free(event);
    return 0;
}
