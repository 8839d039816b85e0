#include "platform/display/x11/RandrScreen.h"

#include <sys/uio.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

namespace vl::x11 {

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

bool succeeded(xcb_connection_t* c, xcb_void_cookie_t cookie) {
    Reply<xcb_generic_error_t> error(xcb_request_check(c, cookie));
    return !error;
}

// Reads vendor, product and serial the way displays report them in EDID.
void readEdid(const std::uint8_t* data, std::size_t size, OutputState& output) {
    static const std::uint8_t header[8] = {0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0};
    if (size < 128 || std::memcmp(data, header, 8) != 0) return;
    output.vendor = std::uint32_t(data[8]) << 8 | data[9];
    output.product = data[10] | std::uint32_t(data[11]) << 8;
    output.serial = data[12] | std::uint32_t(data[13]) << 8 | std::uint32_t(data[14]) << 16 |
                    std::uint32_t(data[15]) << 24;
}

double refreshOf(const xcb_randr_mode_info_t& mode) {
    double vtotal = mode.vtotal;
    if (mode.mode_flags & XCB_RANDR_MODE_FLAG_DOUBLE_SCAN) vtotal *= 2;
    if (mode.mode_flags & XCB_RANDR_MODE_FLAG_INTERLACE) vtotal /= 2;
    if (mode.htotal == 0 || vtotal == 0) return 0;
    return double(mode.dot_clock) / (double(mode.htotal) * vtotal);
}

bool rotated(std::uint16_t rotation) {
    return rotation & (XCB_RANDR_ROTATION_ROTATE_90 | XCB_RANDR_ROTATION_ROTATE_270);
}

}  // namespace

std::string encodeIdentities(const std::vector<VirtualIdentity>& identities) {
    std::string text;
    for (const auto& id : identities) {
        std::string name = id.name;
        std::replace_if(
            name.begin(), name.end(), [](char ch) { return ch == '\n'; }, ' ');
        text += std::to_string(id.output) + " " + std::to_string(id.vendor) + " " +
                std::to_string(id.product) + " " + std::to_string(id.serial) + " " + name + "\n";
    }
    return text;
}

std::vector<VirtualIdentity> decodeIdentities(const std::string& text) {
    std::vector<VirtualIdentity> result;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        VirtualIdentity id;
        std::uint64_t output = 0, vendor = 0, product = 0, serial = 0;
        if (!(fields >> output >> vendor >> product >> serial)) continue;
        if (output == 0 || output > 0x7fffffff || vendor > 0xffffffff || product > 0xffffffff ||
            serial > 0xffffffff)
            continue;
        fields.get();  // the separating space
        std::getline(fields, id.name);
        id.output = xcb_randr_output_t(output);
        id.vendor = std::uint32_t(vendor);
        id.product = std::uint32_t(product);
        id.serial = std::uint32_t(serial);
        result.push_back(std::move(id));
    }
    return result;
}

const OutputState* ScreenSnapshot::output(xcb_randr_output_t id) const {
    for (const auto& o : outputs)
        if (o.id == id) return &o;
    return nullptr;
}

const CrtcState* ScreenSnapshot::crtcOf(xcb_randr_output_t id) const {
    auto* o = output(id);
    if (!o || o->crtc == 0) return nullptr;
    auto it = crtcs.find(o->crtc);
    if (it == crtcs.end() || !it->second.enabled()) return nullptr;
    return &it->second;
}

const VirtualMonitor* ScreenSnapshot::virtualMonitor(std::uint32_t id) const {
    for (const auto& m : virtualMonitors)
        if (m.id == id) return &m;
    return nullptr;
}

std::optional<DisplayRect> ScreenSnapshot::bounds(std::uint32_t id) const {
    if (auto* m = virtualMonitor(id))
        return DisplayRect{double(m->x), double(m->y), double(m->width), double(m->height)};
    auto* crtc = crtcOf(id);
    if (!crtc) return std::nullopt;
    return DisplayRect{double(crtc->x), double(crtc->y), double(crtc->width), double(crtc->height)};
}

std::vector<std::uint32_t> ScreenSnapshot::enabledOutputs() const {
    std::vector<std::uint32_t> ids;
    for (const auto& o : outputs)
        if (crtcOf(o.id)) ids.push_back(o.id);
    for (const auto& m : virtualMonitors) ids.push_back(m.id);
    return ids;
}

std::pair<int, int> ScreenSnapshot::extent() const {
    int width = 0, height = 0;
    for (const auto& [id, crtc] : crtcs) {
        if (!crtc.enabled()) continue;
        width = std::max(width, crtc.x + crtc.width);
        height = std::max(height, crtc.y + crtc.height);
    }
    for (const auto& m : virtualMonitors) {
        width = std::max(width, m.x + m.width);
        height = std::max(height, m.y + m.height);
    }
    return {width, height};
}

RandrScreen::RandrScreen(std::string displayName, Report report)
    : report_(std::move(report)), displayName_(std::move(displayName)) {}

RandrScreen::~RandrScreen() {
    disconnect();
}

void RandrScreen::disconnect() {
    if (connection_) xcb_disconnect(connection_);
    connection_ = nullptr;
    root_ = 0;
    atoms_.clear();
}

// The name reports show: the one given, else the one connected through.
static std::string shownName(const std::string& displayName) {
    if (!displayName.empty()) return displayName;
    const char* fromEnvironment = std::getenv("DISPLAY");
    return fromEnvironment ? fromEnvironment : "(no DISPLAY)";
}

bool RandrScreen::ensureConnected() {
    if (connection_ && !xcb_connection_has_error(connection_)) return true;
    if (connection_) {
        if (!lostReported_ && report_)
            report_("X server " + connectedName_ +
                    " went away; displays will be reconfigured "
                    "when it is back");
        lostReported_ = true;
        disconnect();
    }
    int screenNumber = 0;
    auto* c = xcb_connect(displayName_.empty() ? nullptr : displayName_.c_str(), &screenNumber);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return false;
    }
    auto iterator = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && iterator.rem; ++i) xcb_screen_next(&iterator);
    if (!iterator.rem) {
        xcb_disconnect(c);
        return false;
    }
    Reply<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
    if (!version || (version->major_version == 1 && version->minor_version < 2)) {
        if (report_)
            report_("X server " + shownName(displayName_) +
                    " lacks RandR 1.2; displays unavailable");
        xcb_disconnect(c);
        return false;
    }
    connection_ = c;
    ++generation_;
    connectedName_ = shownName(displayName_);
    root_ = iterator.data->root;
    monitors_ = version->major_version > 1 || version->minor_version >= 5;
    if (lostReported_ && report_) report_("X server " + shownName(displayName_) + " is back");
    lostReported_ = false;
    return true;
}

xcb_atom_t RandrScreen::atom(const char* name) {
    if (auto it = atoms_.find(name); it != atoms_.end()) return it->second;
    if (!connection_) return XCB_ATOM_NONE;
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        connection_, xcb_intern_atom(connection_, 0, std::strlen(name), name), nullptr));
    xcb_atom_t value = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    if (value != XCB_ATOM_NONE) atoms_[name] = value;
    return value;
}

namespace {

using ScreenResources = Reply<xcb_randr_get_screen_resources_current_reply_t>;

void readModes(const ScreenResources& resources, ScreenSnapshot& snap) {
    auto* modeInfos = xcb_randr_get_screen_resources_current_modes(resources.get());
    int modeCount = xcb_randr_get_screen_resources_current_modes_length(resources.get());
    auto* names = xcb_randr_get_screen_resources_current_names(resources.get());
    int namesLength = xcb_randr_get_screen_resources_current_names_length(resources.get());
    int offset = 0;
    for (int i = 0; i < modeCount; ++i) {
        ModeInfo info;
        info.id = modeInfos[i].id;
        info.width = modeInfos[i].width;
        info.height = modeInfos[i].height;
        info.refreshRate = refreshOf(modeInfos[i]);
        int length = modeInfos[i].name_len;
        if (offset + length <= namesLength)
            info.name.assign(reinterpret_cast<const char*>(names) + offset, length);
        offset += length;
        snap.modes[info.id] = info;
    }
}

// All requests go out before the first reply is awaited: one round trip for every CRTC.
void readCrtcs(xcb_connection_t* c, const ScreenResources& resources, ScreenSnapshot& snap) {
    auto* crtcIds = xcb_randr_get_screen_resources_current_crtcs(resources.get());
    int crtcCount = xcb_randr_get_screen_resources_current_crtcs_length(resources.get());
    std::vector<xcb_randr_get_crtc_info_cookie_t> crtcCookies;
    for (int i = 0; i < crtcCount; ++i)
        crtcCookies.push_back(xcb_randr_get_crtc_info(c, crtcIds[i], snap.configTimestamp));
    for (int i = 0; i < crtcCount; ++i) {
        Reply<xcb_randr_get_crtc_info_reply_t> info(
            xcb_randr_get_crtc_info_reply(c, crtcCookies[i], nullptr));
        if (!info) continue;
        CrtcState crtc;
        crtc.id = crtcIds[i];
        crtc.x = info->x;
        crtc.y = info->y;
        crtc.width = info->width;
        crtc.height = info->height;
        crtc.mode = info->mode;
        crtc.rotation = info->rotation;
        auto* outs = xcb_randr_get_crtc_info_outputs(info.get());
        crtc.outputs.assign(outs, outs + xcb_randr_get_crtc_info_outputs_length(info.get()));
        snap.crtcs[crtc.id] = crtc;
    }
}

const VirtualIdentity* identityOf(const std::vector<VirtualIdentity>& identities,
                                  std::uint32_t output) {
    auto found = std::find_if(identities.begin(), identities.end(),
                              [&](const VirtualIdentity& v) { return v.output == output; });
    return found == identities.end() ? nullptr : &*found;
}

// Our virtual outputs carry the identity we gave them; any other output its EDID's.
void readOutputs(xcb_connection_t* c, const ScreenResources& resources,
                 const std::vector<VirtualIdentity>& identities, xcb_atom_t edidAtom,
                 ScreenSnapshot& snap) {
    auto* outputIds = xcb_randr_get_screen_resources_current_outputs(resources.get());
    int outputCount = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
    std::vector<xcb_randr_get_output_info_cookie_t> outputCookies;
    for (int i = 0; i < outputCount; ++i)
        outputCookies.push_back(xcb_randr_get_output_info(c, outputIds[i], snap.configTimestamp));
    for (int i = 0; i < outputCount; ++i) {
        Reply<xcb_randr_get_output_info_reply_t> info(
            xcb_randr_get_output_info_reply(c, outputCookies[i], nullptr));
        if (!info) continue;
        OutputState output;
        output.id = outputIds[i];
        output.name.assign(
            reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
            xcb_randr_get_output_info_name_length(info.get()));
        output.connected = info->connection == XCB_RANDR_CONNECTION_CONNECTED;
        output.crtc = info->crtc;
        auto* possible = xcb_randr_get_output_info_crtcs(info.get());
        output.possibleCrtcs.assign(possible,
                                    possible + xcb_randr_get_output_info_crtcs_length(info.get()));
        auto* modes = xcb_randr_get_output_info_modes(info.get());
        output.modes.assign(modes, modes + xcb_randr_get_output_info_modes_length(info.get()));
        if (const auto* identity = identityOf(identities, output.id)) {
            output.isVirtual = true;
            output.vendor = identity->vendor;
            output.product = identity->product;
            output.serial = identity->serial;
        } else if (edidAtom != XCB_ATOM_NONE) {
            Reply<xcb_randr_get_output_property_reply_t> edid(xcb_randr_get_output_property_reply(
                c, xcb_randr_get_output_property(c, output.id, edidAtom, XCB_ATOM_ANY, 0, 64, 0, 0),
                nullptr));
            if (edid && edid->format == 8)
                readEdid(xcb_randr_get_output_property_data(edid.get()),
                         xcb_randr_get_output_property_data_length(edid.get()), output);
        }
        snap.outputs.push_back(std::move(output));
    }
}

// Monitors without outputs that carry one of our identities are our virtual displays.
void readVirtualMonitors(xcb_connection_t* c, xcb_window_t root,
                         const std::vector<VirtualIdentity>& identities, ScreenSnapshot& snap) {
    Reply<xcb_randr_get_monitors_reply_t> monitors(
        xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, root, 0), nullptr));
    if (!monitors) return;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem;
         xcb_randr_monitor_info_next(&it)) {
        const auto& info = *it.data;
        if (info.nOutput != 0) continue;
        auto id = monitorDisplayID(info.name);
        const auto* identity = identityOf(identities, id);
        if (!identity) continue;
        snap.virtualMonitors.push_back({id, info.name, info.x, info.y, info.width, info.height,
                                        identity->vendor, identity->product, identity->serial});
    }
}

}  // namespace

std::optional<ScreenSnapshot> RandrScreen::snapshot() {
    if (!ensureConnected()) return std::nullopt;
    auto* c = connection_;
    ScreenSnapshot snap;

    auto resourcesCookie = xcb_randr_get_screen_resources_current(c, root_);
    auto geometryCookie = xcb_get_geometry(c, root_);
    auto rangeCookie = xcb_randr_get_screen_size_range(c, root_);
    auto primaryCookie = xcb_randr_get_output_primary(c, root_);
    ScreenResources resources(
        xcb_randr_get_screen_resources_current_reply(c, resourcesCookie, nullptr));
    Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookie, nullptr));
    Reply<xcb_randr_get_screen_size_range_reply_t> range(
        xcb_randr_get_screen_size_range_reply(c, rangeCookie, nullptr));
    Reply<xcb_randr_get_output_primary_reply_t> primary(
        xcb_randr_get_output_primary_reply(c, primaryCookie, nullptr));
    if (!resources || !geometry || !range) return std::nullopt;

    snap.configTimestamp = resources->config_timestamp;
    snap.width = geometry->width;
    snap.height = geometry->height;
    snap.minWidth = range->min_width;
    snap.minHeight = range->min_height;
    snap.maxWidth = range->max_width;
    snap.maxHeight = range->max_height;
    snap.primary = primary ? primary->output : 0;

    readModes(resources, snap);
    readCrtcs(c, resources, snap);
    const auto identities = identitiesOnConnection();
    readOutputs(c, resources, identities, atom("EDID"), snap);
    if (monitors_) readVirtualMonitors(c, root_, identities, snap);
    // A server lost on the way answered only part: that is no picture of the screen.
    if (xcb_connection_has_error(c)) return std::nullopt;
    return snap;
}

DisplayError RandrScreen::apply(const ScreenSnapshot& before, std::vector<CrtcChange> changes) {
    if (!ensureConnected()) return DisplayError::invalidConnection;
    auto* c = connection_;

    std::map<xcb_randr_crtc_t, CrtcChange> target;
    for (const auto& [id, crtc] : before.crtcs) {
        if (!crtc.enabled()) continue;
        target[id] = CrtcChange{id, crtc.x, crtc.y, crtc.mode, crtc.rotation, crtc.outputs};
    }
    std::map<xcb_randr_crtc_t, bool> changed;
    for (auto& change : changes) {
        changed[change.crtc] = true;
        if (change.mode == 0)
            target.erase(change.crtc);
        else
            target[change.crtc] = change;
    }

    auto sizeOf = [&](const CrtcChange& crtc) -> std::pair<int, int> {
        auto mode = before.modes.find(crtc.mode);
        if (mode == before.modes.end()) return {0, 0};
        if (rotated(crtc.rotation)) return {mode->second.height, mode->second.width};
        return {mode->second.width, mode->second.height};
    };
    for (const auto& [id, crtc] : target)
        if (sizeOf(crtc).first == 0) return DisplayError::illegalArgument;

    // RandR positions are unsigned on the framebuffer: move the whole arrangement when needed.
    int minX = 0, minY = 0;
    for (const auto& [id, crtc] : target) {
        minX = std::min(minX, crtc.x);
        minY = std::min(minY, crtc.y);
    }
    if (minX < 0 || minY < 0) {
        for (auto& [id, crtc] : target) {
            crtc.x -= minX;
            crtc.y -= minY;
            changed[id] = true;
        }
    }
    int width = before.minWidth, height = before.minHeight;
    for (const auto& m : before.virtualMonitors) {
        width = std::max(width, m.x + m.width);
        height = std::max(height, m.y + m.height);
    }
    for (const auto& [id, crtc] : target) {
        auto [w, h] = sizeOf(crtc);
        width = std::max(width, crtc.x + w);
        height = std::max(height, crtc.y + h);
    }
    if (width > before.maxWidth || height > before.maxHeight) return DisplayError::rangeCheck;
    for (const auto& [id, crtc] : target)
        if (crtc.x > 32767 || crtc.y > 32767) return DisplayError::rangeCheck;

    xcb_grab_server(c);
    Reply<xcb_randr_get_screen_resources_current_reply_t> resources(
        xcb_randr_get_screen_resources_current_reply(
            c, xcb_randr_get_screen_resources_current(c, root_), nullptr));
    xcb_timestamp_t configTime = resources ? resources->config_timestamp : before.configTimestamp;

    bool ok = true;
    // Changed CRTCs go dark first, so the framebuffer can shrink beneath them.
    for (const auto& [id, _] : changed) {
        auto previous = before.crtcs.find(id);
        if (previous == before.crtcs.end() || !previous->second.enabled()) continue;
        Reply<xcb_randr_set_crtc_config_reply_t> reply(xcb_randr_set_crtc_config_reply(
            c,
            xcb_randr_set_crtc_config(c, id, XCB_CURRENT_TIME, configTime, 0, 0, XCB_NONE,
                                      XCB_RANDR_ROTATION_ROTATE_0, 0, nullptr),
            nullptr));
        ok = ok && reply && reply->status == XCB_RANDR_SET_CONFIG_SUCCESS;
    }
    if (width != before.width || height != before.height)
        ok = succeeded(c, xcb_randr_set_screen_size_checked(
                              c, root_, width, height, millimetres(width), millimetres(height))) &&
             ok;
    for (const auto& [id, _] : changed) {
        auto it = target.find(id);
        if (it == target.end()) continue;
        const auto& crtc = it->second;
        Reply<xcb_randr_set_crtc_config_reply_t> reply(xcb_randr_set_crtc_config_reply(
            c,
            xcb_randr_set_crtc_config(c, id, XCB_CURRENT_TIME, configTime, std::int16_t(crtc.x),
                                      std::int16_t(crtc.y), crtc.mode, crtc.rotation,
                                      crtc.outputs.size(), crtc.outputs.data()),
            nullptr));
        ok = ok && reply && reply->status == XCB_RANDR_SET_CONFIG_SUCCESS;
    }
    xcb_ungrab_server(c);
    xcb_flush(c);
    return ok ? DisplayError::success : DisplayError::failure;
}

DisplayError RandrScreen::setPrimary(xcb_randr_output_t output) {
    if (!connection_ || xcb_connection_has_error(connection_))
        return DisplayError::invalidConnection;
    return succeeded(connection_, xcb_randr_set_output_primary_checked(connection_, root_, output))
               ? DisplayError::success
               : DisplayError::failure;
}

DisplayError RandrScreen::fitFramebuffer(int minWidth, int minHeight) {
    auto snap = snapshot();
    if (!snap) return DisplayError::invalidConnection;
    auto [coveredWidth, coveredHeight] = snap->extent();
    int width = std::max({minWidth, coveredWidth, int(snap->minWidth)});
    int height = std::max({minHeight, coveredHeight, int(snap->minHeight)});
    if (width > snap->maxWidth || height > snap->maxHeight) return DisplayError::rangeCheck;
    if (width == snap->width && height == snap->height) return DisplayError::success;
    if (!connection_) return DisplayError::invalidConnection;
    return succeeded(connection_,
                     xcb_randr_set_screen_size_checked(connection_, root_, width, height,
                                                       millimetres(width), millimetres(height)))
               ? DisplayError::success
               : DisplayError::failure;
}

DisplayError RandrScreen::setMonitor(xcb_atom_t name, std::int16_t x, std::int16_t y,
                                     std::uint16_t width, std::uint16_t height) {
    if (!ensureConnected()) return DisplayError::invalidConnection;
    if (!monitors_) return DisplayError::notSupported;
    // The server refuses a name it already has: a move is a delete and a new monitor.
    succeeded(connection_, xcb_randr_delete_monitor_checked(connection_, root_, name));
    // Sent by hand: libxcb's generated SetMonitor miscounts the request length and the server
    // closes the connection (measured with libxcb 1.15).
    struct {
        std::uint8_t major;
        std::uint8_t minor;
        std::uint16_t length;
        xcb_window_t window;
        xcb_randr_monitor_info_t info;
    } request{};
    static_assert(sizeof request == 32);
    request.window = root_;
    request.info.name = name;
    request.info.x = x;
    request.info.y = y;
    request.info.width = width;
    request.info.height = height;
    request.info.width_in_millimeters = millimetres(width);
    request.info.height_in_millimeters = millimetres(height);
    iovec parts[4];
    parts[2].iov_base = &request;
    parts[2].iov_len = sizeof request;
    parts[3].iov_base = nullptr;
    parts[3].iov_len = 0;
    xcb_protocol_request_t protocol{2, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
    xcb_void_cookie_t cookie{
        xcb_send_request(connection_, XCB_REQUEST_CHECKED, parts + 2, &protocol)};
    return succeeded(connection_, cookie) ? DisplayError::success : DisplayError::failure;
}

DisplayError RandrScreen::deleteMonitor(xcb_atom_t name) {
    if (!ensureConnected()) return DisplayError::invalidConnection;
    if (!monitors_) return DisplayError::notSupported;
    return succeeded(connection_, xcb_randr_delete_monitor_checked(connection_, root_, name))
               ? DisplayError::success
               : DisplayError::failure;
}

std::vector<VirtualIdentity> RandrScreen::readIdentities() {
    if (!ensureConnected()) return {};
    return identitiesOnConnection();
}

std::vector<VirtualIdentity> RandrScreen::identitiesOnConnection() {
    if (!connection_) return {};
    xcb_atom_t property = atom(identityProperty);
    if (property == XCB_ATOM_NONE) return {};
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        connection_, xcb_get_property(connection_, 0, root_, property, XCB_ATOM_ANY, 0, 16384),
        nullptr));
    if (!reply || reply->format != 8) return {};
    std::string text(static_cast<const char*>(xcb_get_property_value(reply.get())),
                     xcb_get_property_value_length(reply.get()));
    return decodeIdentities(text);
}

void RandrScreen::updateIdentities(
    const std::function<void(std::vector<VirtualIdentity>&)>& change) {
    if (!ensureConnected()) return;
    xcb_atom_t property = atom(identityProperty);
    xcb_atom_t utf8 = atom("UTF8_STRING");
    if (property == XCB_ATOM_NONE || utf8 == XCB_ATOM_NONE) return;
    xcb_grab_server(connection_);
    auto identities = identitiesOnConnection();
    change(identities);
    if (identities.empty()) {
        xcb_delete_property(connection_, root_, property);
    } else {
        auto text = encodeIdentities(identities);
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, root_, property, utf8, 8,
                            text.size(), text.data());
    }
    xcb_ungrab_server(connection_);
    xcb_flush(connection_);
}

}  // namespace vl::x11
