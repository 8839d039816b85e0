#include "platform/windows/x11/WindowConnection.h"

#include <xcb/res.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace vl::x11 {

namespace {

constexpr const char* atomNames[WindowConnection::atomCount] = {
    "_NET_SUPPORTING_WM_CHECK",
    "_NET_CLIENT_LIST",
    "_NET_CLIENT_LIST_STACKING",
    "_NET_ACTIVE_WINDOW",
    "_NET_WM_NAME",
    "UTF8_STRING",
    "_NET_WM_PID",
    "_NET_FRAME_EXTENTS",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_NORMAL",
    "_NET_WM_WINDOW_TYPE_DIALOG",
    "_NET_WM_WINDOW_TYPE_DOCK",
    "_NET_WM_WINDOW_TYPE_DESKTOP",
    "_NET_WM_WINDOW_TYPE_NOTIFICATION",
    "_NET_WM_WINDOW_TYPE_UTILITY",
    "_NET_WM_WINDOW_TYPE_TOOLBAR",
    "_NET_WM_WINDOW_TYPE_MENU",
    "_NET_WM_WINDOW_TYPE_SPLASH",
    "_NET_MOVERESIZE_WINDOW",
    "_NET_WM_STATE",
    "_NET_WM_STATE_MAXIMIZED_VERT",
    "_NET_WM_STATE_MAXIMIZED_HORZ",
    "_NET_WM_STATE_FULLSCREEN",
    "_NET_WM_STATE_HIDDEN",
    "_GTK_APPLICATION_ID",
};

template <typename Reply>
struct Freed {
    Reply* reply;
    ~Freed() { std::free(reply); }
};

std::string readFirstLine(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The .desktop entry named after the window class, searched where XDG keeps applications.
std::optional<std::string> desktopEntry(const std::string& windowClass) {
    if (windowClass.empty()) return std::nullopt;
    std::vector<std::filesystem::path> dirs;
    if (const char* home = std::getenv("XDG_DATA_HOME"); home && *home)
        dirs.emplace_back(home);
    else if (const char* h = std::getenv("HOME"); h && *h)
        dirs.emplace_back(std::filesystem::path(h) / ".local/share");
    std::string system = std::getenv("XDG_DATA_DIRS") ? std::getenv("XDG_DATA_DIRS") : "";
    if (system.empty()) system = "/usr/local/share:/usr/share";
    for (std::size_t start = 0; start <= system.size();) {
        auto end = system.find(':', start);
        if (end == std::string::npos) end = system.size();
        if (end > start) dirs.emplace_back(system.substr(start, end - start));
        start = end + 1;
    }
    std::string lower = windowClass;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto& dir : dirs)
        for (const auto& name : {windowClass, lower}) {
            std::error_code error;
            if (std::filesystem::exists(dir / "applications" / (name + ".desktop"), error))
                return name;
        }
    return std::nullopt;
}

}  // namespace

std::unique_ptr<WindowConnection> WindowConnection::open(const std::string& displayName) {
    int screenNumber = 0;
    auto* connection =
        xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
    if (!connection || xcb_connection_has_error(connection)) {
        if (connection) xcb_disconnect(connection);
        return nullptr;
    }
    auto it = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
    if (!it.rem) {
        xcb_disconnect(connection);
        return nullptr;
    }
    return std::unique_ptr<WindowConnection>(new WindowConnection(connection, it.data->root));
}

WindowConnection::WindowConnection(xcb_connection_t* connection, xcb_window_t root)
    : connection_(connection), root_(root) {
    std::array<xcb_intern_atom_cookie_t, atomCount> cookies{};
    for (int i = 0; i < atomCount; ++i)
        cookies[i] = xcb_intern_atom(connection_, 0, std::strlen(atomNames[i]), atomNames[i]);
    for (int i = 0; i < atomCount; ++i) {
        Freed<xcb_intern_atom_reply_t> reply{
            xcb_intern_atom_reply(connection_, cookies[i], nullptr)};
        atoms_[i] = reply.reply ? reply.reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    }
}

WindowConnection::~WindowConnection() {
    xcb_disconnect(connection_);
}

bool WindowConnection::broken() const {
    return xcb_connection_has_error(connection_) != 0;
}

bool WindowConnection::windowManagerRunning() {
    auto check = cardinals(root_, atom(netSupportingWmCheck), XCB_ATOM_WINDOW);
    if (check.empty() || check[0] == 0) return false;
    auto self = cardinals(check[0], atom(netSupportingWmCheck), XCB_ATOM_WINDOW);
    return !self.empty() && self[0] == check[0];
}

std::vector<xcb_window_t> WindowConnection::clientList(bool stacking) {
    return cardinals(root_, atom(stacking ? netClientListStacking : netClientList),
                     XCB_ATOM_WINDOW);
}

std::optional<xcb_window_t> WindowConnection::activeWindow() {
    auto value = cardinals(root_, atom(netActiveWindow), XCB_ATOM_WINDOW);
    if (value.empty() || value[0] == 0) return std::nullopt;
    return value[0];
}

std::vector<std::uint32_t> WindowConnection::cardinals(xcb_window_t window, xcb_atom_t property,
                                                       xcb_atom_t type) {
    auto cookie = xcb_get_property(connection_, 0, window, property, type, 0, 4096);
    Freed<xcb_get_property_reply_t> reply{xcb_get_property_reply(connection_, cookie, nullptr)};
    if (!reply.reply || reply.reply->format != 32 || reply.reply->type != type) return {};
    auto* data = static_cast<std::uint32_t*>(xcb_get_property_value(reply.reply));
    return {data, data + xcb_get_property_value_length(reply.reply) / 4};
}

std::optional<std::string> WindowConnection::text(xcb_window_t window, xcb_atom_t property,
                                                  xcb_atom_t type) {
    auto cookie = xcb_get_property(connection_, 0, window, property, type, 0, 4096);
    Freed<xcb_get_property_reply_t> reply{xcb_get_property_reply(connection_, cookie, nullptr)};
    if (!reply.reply || reply.reply->format != 8 || reply.reply->type == XCB_ATOM_NONE)
        return std::nullopt;
    auto* data = static_cast<const char*>(xcb_get_property_value(reply.reply));
    return std::string(data, xcb_get_property_value_length(reply.reply));
}

ProcessID WindowConnection::pid(xcb_window_t window) {
    auto value = cardinals(window, atom(netWmPid), XCB_ATOM_CARDINAL);
    return value.empty() ? clientPid(window) : static_cast<ProcessID>(value[0]);
}

// Not every program names its process on its windows; the X server knows the process of a local
// client (X-Resource 1.2).
ProcessID WindowConnection::clientPid(xcb_window_t window) {
    xcb_res_client_id_spec_t spec{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    Freed<xcb_res_query_client_ids_reply_t> reply{xcb_res_query_client_ids_reply(
        connection_, xcb_res_query_client_ids(connection_, 1, &spec), nullptr)};
    if (!reply.reply) return 0;
    for (auto it = xcb_res_query_client_ids_ids_iterator(reply.reply); it.rem;
         xcb_res_client_id_value_next(&it)) {
        if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) &&
            xcb_res_client_id_value_value_length(it.data) >= 1)
            return static_cast<ProcessID>(*xcb_res_client_id_value_value(it.data));
    }
    return 0;
}

std::vector<ProcessID> WindowConnection::pids(const std::vector<xcb_window_t>& windows) {
    std::vector<xcb_get_property_cookie_t> cookies;
    cookies.reserve(windows.size());
    for (auto window : windows)
        cookies.push_back(
            xcb_get_property(connection_, 0, window, atom(netWmPid), XCB_ATOM_CARDINAL, 0, 1));
    std::vector<ProcessID> result;
    result.reserve(windows.size());
    for (auto cookie : cookies) {
        Freed<xcb_get_property_reply_t> reply{xcb_get_property_reply(connection_, cookie, nullptr)};
        ProcessID pid = 0;
        if (reply.reply && reply.reply->format == 32 && reply.reply->type == XCB_ATOM_CARDINAL &&
            xcb_get_property_value_length(reply.reply) >= 4)
            pid = static_cast<ProcessID>(
                *static_cast<std::uint32_t*>(xcb_get_property_value(reply.reply)));
        result.push_back(pid);
    }
    for (std::size_t i = 0; i < windows.size(); ++i)
        if (result[i] == 0) result[i] = clientPid(windows[i]);
    return result;
}

WindowKind WindowConnection::kind(xcb_window_t window) {
    // The first type the window names that we know decides; none named is a normal window.
    for (auto type : cardinals(window, atom(netWmWindowType), XCB_ATOM_ATOM)) {
        if (type == atom(typeNormal)) return WindowKind::normal;
        if (type == atom(typeDialog)) return WindowKind::dialog;
        if (type == atom(typeDock)) return WindowKind::dock;
        if (type == atom(typeDesktop)) return WindowKind::desktop;
        if (type == atom(typeNotification)) return WindowKind::notification;
        if (type == atom(typeUtility)) return WindowKind::utility;
        if (type == atom(typeToolbar) || type == atom(typeMenu) || type == atom(typeSplash))
            return WindowKind::other;
    }
    return WindowKind::normal;
}

bool WindowConnection::hidden(xcb_window_t window) {
    for (auto state : cardinals(window, atom(netWmState), XCB_ATOM_ATOM))
        if (state == atom(stateHidden)) return true;
    return false;
}

std::string WindowConnection::title(xcb_window_t window) {
    if (auto name = text(window, atom(netWmName), atom(utf8String))) return *name;
    if (auto name = text(window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING)) return *name;
    return {};
}

std::array<std::uint32_t, 4> WindowConnection::frameExtents(xcb_window_t window) {
    auto value = cardinals(window, atom(netFrameExtents), XCB_ATOM_CARDINAL);
    if (value.size() < 4) return {0, 0, 0, 0};
    return {value[0], value[1], value[2], value[3]};
}

std::optional<DisplayRect> WindowConnection::frame(xcb_window_t window) {
    auto geometryCookie = xcb_get_geometry(connection_, window);
    auto translateCookie = xcb_translate_coordinates(connection_, window, root_, 0, 0);
    Freed<xcb_get_geometry_reply_t> geometry{
        xcb_get_geometry_reply(connection_, geometryCookie, nullptr)};
    Freed<xcb_translate_coordinates_reply_t> origin{
        xcb_translate_coordinates_reply(connection_, translateCookie, nullptr)};
    if (!geometry.reply || !origin.reply) return std::nullopt;
    auto [left, right, top, bottom] = frameExtents(window);
    return DisplayRect{double(origin.reply->dst_x) - left, double(origin.reply->dst_y) - top,
                       double(geometry.reply->width) + left + right,
                       double(geometry.reply->height) + top + bottom};
}

std::string WindowConnection::appID(xcb_window_t window, ProcessID pid) {
    if (auto id = text(window, atom(gtkApplicationId), atom(utf8String)); id && !id->empty())
        return *id;
    // WM_CLASS holds the instance and the class, each ended by a NUL.
    if (auto wmClass = text(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING)) {
        auto split = wmClass->find('\0');
        std::string instance = wmClass->substr(0, split);
        std::string className;
        if (split != std::string::npos) className = wmClass->substr(split + 1);
        if (auto nul = className.find('\0'); nul != std::string::npos) className.resize(nul);
        if (auto entry = desktopEntry(className)) return *entry;
        if (auto entry = desktopEntry(instance)) return *entry;
    }
    if (pid > 0) {
        std::error_code error;
        auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
        if (!error) return exe.filename().string();
    }
    return {};
}

std::optional<WindowRecord> WindowConnection::record(xcb_window_t window) {
    auto where = frame(window);
    if (!where) return std::nullopt;
    WindowRecord record;
    record.id = window;
    record.pid = pid(window);
    record.title = title(window);
    record.frame = *where;
    record.kind = kind(window);
    if (record.pid > 0)
        record.ownerName = readFirstLine("/proc/" + std::to_string(record.pid) + "/comm");
    record.appID = appID(window, record.pid);
    return record;
}

void WindowConnection::sendToRoot(xcb_window_t window, xcb_atom_t type,
                                  std::array<std::uint32_t, 5> data) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = type;
    for (int i = 0; i < 5; ++i) event.data.data32[i] = data[i];
    xcb_send_event(connection_, 0, root_,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
}

}  // namespace vl::x11
