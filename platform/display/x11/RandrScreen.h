// platform/display/x11: one X screen seen through RandR — a snapshot of its outputs, CRTCs and
// modes, changes to CRTCs with the framebuffer resized explicitly, and the root-window record of
// virtual display identities that every X client can read.
#pragma once

#include "platform/display/Interface.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vl::x11 {

// Identity of a virtual display, kept on the root window because RandR drivers without EDID
// support refuse client-set EDID properties.
struct VirtualIdentity {
    xcb_randr_output_t output = 0;
    std::uint32_t vendor = 0;
    std::uint32_t product = 0;
    std::uint32_t serial = 0;
    std::string name;
    bool operator==(const VirtualIdentity&) const = default;
};

std::string encodeIdentities(const std::vector<VirtualIdentity>& identities);
// Ignores malformed lines: any client may write the property.
std::vector<VirtualIdentity> decodeIdentities(const std::string& text);

struct ModeInfo {
    xcb_randr_mode_t id = 0;
    std::string name;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    double refreshRate = 0;
};

struct CrtcState {
    xcb_randr_crtc_t id = 0;
    std::int16_t x = 0;
    std::int16_t y = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    xcb_randr_mode_t mode = 0;
    std::uint16_t rotation = XCB_RANDR_ROTATION_ROTATE_0;
    std::vector<xcb_randr_output_t> outputs;
    bool enabled() const { return mode != 0; }
};

struct OutputState {
    xcb_randr_output_t id = 0;
    std::string name;
    bool connected = false;
    xcb_randr_crtc_t crtc = 0;
    std::vector<xcb_randr_crtc_t> possibleCrtcs;
    std::vector<xcb_randr_mode_t> modes;
    std::uint32_t vendor = 0;  // from EDID or the virtual identity record
    std::uint32_t product = 0;
    std::uint32_t serial = 0;
    bool isVirtual = false;
};

// Display ids of virtual monitors (RandR 1.5 monitors without outputs): the monitor's name atom
// with bit 30 set, apart from every XID (29 bits).
inline constexpr std::uint32_t monitorIDBit = 0x40000000;
inline std::uint32_t monitorDisplayID(xcb_atom_t name) {
    return monitorIDBit | name;
}
inline bool isMonitorID(std::uint32_t id) {
    return (id & monitorIDBit) != 0;
}

// A virtual display that is a region of the framebuffer no output shows.
struct VirtualMonitor {
    std::uint32_t id = 0;
    xcb_atom_t name = 0;
    std::int16_t x = 0;
    std::int16_t y = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint32_t vendor = 0;
    std::uint32_t product = 0;
    std::uint32_t serial = 0;
};

struct ScreenSnapshot {
    xcb_timestamp_t configTimestamp = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint16_t minWidth = 0, minHeight = 0, maxWidth = 0, maxHeight = 0;
    xcb_randr_output_t primary = 0;
    std::vector<OutputState> outputs;  // in server order
    std::map<xcb_randr_crtc_t, CrtcState> crtcs;
    std::map<xcb_randr_mode_t, ModeInfo> modes;
    std::vector<VirtualMonitor> virtualMonitors;  // those in the identity record only

    const OutputState* output(xcb_randr_output_t id) const;
    const VirtualMonitor* virtualMonitor(std::uint32_t id) const;
    const CrtcState* crtcOf(xcb_randr_output_t id) const;  // enabled CRTC only
    // Of a switched-on output or a virtual monitor.
    std::optional<DisplayRect> bounds(std::uint32_t id) const;
    // Switched-on outputs in server order, then virtual monitors.
    std::vector<std::uint32_t> enabledOutputs() const;
    // The framebuffer size that covers every switched-on CRTC and virtual monitor.
    std::pair<int, int> extent() const;
};

// A CRTC's wanted state; mode 0 switches it off.
struct CrtcChange {
    xcb_randr_crtc_t crtc = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
    xcb_randr_mode_t mode = 0;
    std::uint16_t rotation = XCB_RANDR_ROTATION_ROTATE_0;
    std::vector<xcb_randr_output_t> outputs;
};

class RandrScreen {
  public:
    using Report = std::function<void(const std::string&)>;

    // displayName empty: $DISPLAY.
    RandrScreen(std::string displayName, Report report);
    ~RandrScreen();
    RandrScreen(const RandrScreen&) = delete;
    RandrScreen& operator=(const RandrScreen&) = delete;

    // Connects, or reconnects after the server went away. False when no usable X server. Each
    // public call reconnects at most at its start, never in the middle of its round trips.
    bool ensureConnected();
    // Valid until the next call that may reconnect (snapshot(), ensureConnected()): a lost
    // connection is freed there. Compare generation() around such a call before using it again.
    xcb_connection_t* connection() const { return connection_; }
    // Counts connections made: a change means a new X server, on which the ids of the old one
    // (outputs, modes, monitors) mean nothing.
    std::uint64_t generation() const { return generation_; }
    xcb_window_t root() const { return root_; }
    const std::string& displayName() const { return displayName_; }
    bool hasMonitors() const { return monitors_; }

    std::optional<ScreenSnapshot> snapshot();

    // Applies CRTC changes and sizes the framebuffer to the union of all enabled CRTCs, shifting
    // everything when an origin would be negative. rangeCheck when it exceeds the screen limits.
    DisplayError apply(const ScreenSnapshot& before, std::vector<CrtcChange> changes);
    // Sets only the framebuffer size: the enabled CRTCs and virtual monitors, and at least
    // minWidth x minHeight. rangeCheck when that exceeds the screen limits.
    DisplayError fitFramebuffer(int minWidth, int minHeight);

    // RandR 1.5 monitors (hasMonitors()): creates or moves one without outputs, or deletes it.
    DisplayError setMonitor(xcb_atom_t name, std::int16_t x, std::int16_t y, std::uint16_t width,
                            std::uint16_t height);
    DisplayError deleteMonitor(xcb_atom_t name);
    // Makes the output the primary one (where desktops put their panels and new windows).
    DisplayError setPrimary(xcb_randr_output_t output);

    std::vector<VirtualIdentity> readIdentities();
    // Read-modify-write under a server grab, so several processes can share the record.
    void updateIdentities(const std::function<void(std::vector<VirtualIdentity>&)>& change);

    xcb_atom_t atom(const char* name);

  private:
    void disconnect();
    // The record read on the connection there is, never reconnecting: a reconnection frees the
    // connection that the caller is in the middle of using.
    std::vector<VirtualIdentity> identitiesOnConnection();
    Report report_;
    std::string displayName_;
    std::string connectedName_;  // what $DISPLAY said when the connection was made
    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = 0;
    bool monitors_ = false;
    bool lostReported_ = false;
    std::uint64_t generation_ = 0;
    std::map<std::string, xcb_atom_t> atoms_;
};

// Framebuffer size in millimetres at 96 dots per inch.
inline std::uint32_t millimetres(std::uint32_t pixels) {
    return pixels * 254 / 960;
}

inline constexpr const char* identityProperty = "_VANTREL_VIRTUAL_DISPLAYS";

}  // namespace vl::x11
