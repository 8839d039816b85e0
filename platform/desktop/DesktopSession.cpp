#include "platform/desktop/DesktopSession.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace vl {

namespace {

// Launcher images as XPM text (the panel reads it; no icon theme needs to be installed).
std::string iconXpm(bool terminal) {
    std::vector<std::string> rows(32, std::string(32, '.'));
    auto fill = [&](int x0, int y0, int x1, int y1, char c) {
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) rows[std::size_t(y)][std::size_t(x)] = c;
    };
    if (terminal) {
        fill(2, 4, 30, 28, 'b');                                              // the screen
        fill(2, 4, 30, 8, 'g');                                               // title bar
        for (int i = 0; i < 5; ++i) fill(7 + i, 12 + i, 9 + i, 13 + i, 'w');  // the prompt ">"
        for (int i = 0; i < 5; ++i) fill(11 - i, 17 + i, 13 - i, 18 + i, 'w');
        fill(15, 21, 23, 23, 'w');  // "_"
    } else {
        fill(2, 7, 14, 11, 'y');  // folder tab
        fill(2, 10, 30, 27, 'Y');
        fill(2, 10, 30, 12, 'y');
    }
    std::string text =
        "/* XPM */\nstatic char *icon[] = {\n\"32 32 6 1\",\n\". c None\",\n"
        "\"b c #1e1e2e\",\n\"g c #6c7086\",\n\"w c #a6e3a1\",\n\"y c #e0a526\",\n"
        "\"Y c #f9c74f\",\n";
    for (std::size_t i = 0; i < rows.size(); ++i)
        text += "\"" + rows[i] + (i + 1 < rows.size() ? "\",\n" : "\"\n");
    return text + "};\n";
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    return bool(out);
}

}  // namespace

bool DesktopSession::paintWallpaper(xcb_connection_t* c) {
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    if (!screen) return false;
    // A tall tile, one colour per band: deep blue at the top to teal at the bottom.
    const std::uint16_t width = 16, height = 1024, bands = 128;
    xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_create_pixmap(c, screen->root_depth, pixmap, screen->root, width, height);
    xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, pixmap, 0, nullptr);
    for (int band = 0; band < bands; ++band) {
        const double t = double(band) / (bands - 1);
        auto mix = [t](int from, int to) { return std::uint32_t(from + (to - from) * t); };
        const std::uint32_t colour = mix(0x1d, 0x10) << 16 | mix(0x2b, 0x7a) << 8 | mix(0x53, 0x8a);
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
        const xcb_rectangle_t rect{0, std::int16_t(band * height / bands), width,
                                   std::uint16_t(height / bands)};
        xcb_poly_fill_rectangle(c, pixmap, gc, 1, &rect);
    }
    auto cookie =
        xcb_change_window_attributes_checked(c, screen->root, XCB_CW_BACK_PIXMAP, &pixmap);
    xcb_clear_area(c, 0, screen->root, 0, 0, 0, 0);
    // The root keeps its background once the pixmap is freed.
    xcb_free_gc(c, gc);
    xcb_free_pixmap(c, pixmap);
    xcb_generic_error_t* error = xcb_request_check(c, cookie);
    std::free(error);
    return error == nullptr;
}

std::string DesktopSession::panelConfiguration(const std::string& terminalEntry,
                                               const std::string& fileManagerEntry) {
    return "# Written by vantrel-link for its headless desktop.\n"
           "rounded = 0\nborder_width = 0\nbackground_color = #181825 92\n"
           "border_color = #000000 0\n"
           "rounded = 4\nborder_width = 0\nbackground_color = #313244 100\n"
           "border_color = #000000 0\n"
           "panel_items = LTSC\npanel_monitor = all\npanel_position = bottom center horizontal\n"
           "panel_size = 100% 36\npanel_padding = 6 2 6\npanel_background_id = 1\n"
           "panel_layer = top\npanel_dock = 0\nstrut_policy = follow_size\n"
           "wm_menu = 0\n"
           "launcher_padding = 2 2 6\nlauncher_background_id = 0\nlauncher_icon_size = 28\n"
           "launcher_tooltip = 1\n"
           "launcher_item_app = " +
           terminalEntry + "\nlauncher_item_app = " + fileManagerEntry +
           "\n"
           "taskbar_mode = single_desktop\ntaskbar_padding = 4 2 4\ntaskbar_background_id = 0\n"
           "task_background_id = 2\ntask_active_background_id = 2\ntask_text = 1\n"
           "task_icon = 1\ntask_maximum_size = 180 30\ntask_font_color = #cdd6f4 100\n"
           "time1_format = %H:%M\nclock_font_color = #cdd6f4 100\nclock_padding = 6 0\n"
           "systray_padding = 4 2 4\nsystray_icon_size = 22\n";
}

void DesktopSession::start(xcb_connection_t* connection,
                           const std::vector<std::string>& environment,
                           const std::string& directory, const Report& report) {
    if (connection && !paintWallpaper(connection)) report("cannot paint the desktop's wallpaper");
    const std::string terminalIcon = directory + "/terminal.xpm";
    const std::string filesIcon = directory + "/files.xpm";
    const std::string terminalEntry = directory + "/terminal.desktop";
    const std::string filesEntry = directory + "/files.desktop";
    const std::string config = directory + "/panel.conf";
    bool written =
        writeFile(terminalIcon, iconXpm(true)) && writeFile(filesIcon, iconXpm(false)) &&
        writeFile(terminalEntry, "[Desktop Entry]\nType=Application\nName=Terminal\nExec=" +
                                     programs_.terminal + "\nIcon=" + terminalIcon + "\n") &&
        writeFile(filesEntry, "[Desktop Entry]\nType=Application\nName=Files\nExec=" +
                                  programs_.fileManager + "\nIcon=" + filesIcon + "\n") &&
        writeFile(config, panelConfiguration(terminalEntry, filesEntry));
    if (!written) {
        report("cannot write the desktop panel's configuration in " + directory);
        return;
    }
    ChildProcess::Spawn spawn;
    spawn.arguments = {programs_.panel, "-c", config};
    spawn.environment = environment;
    spawn.logFile = directory + "/panel.log";
    auto child = ChildProcess::start(spawn);
    if (!child) {
        report("cannot start the desktop panel " + programs_.panel);
        return;
    }
    panel_ = std::move(*child);
}

void DesktopSession::stop() {
    panel_.stop(std::chrono::milliseconds(500));
}

}  // namespace vl
