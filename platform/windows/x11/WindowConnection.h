// platform/windows/x11: one XCB connection with the atoms and property reads of the EWMH/ICCCM
// window model. Not thread safe: each user holds its own.
#pragma once

#include "platform/windows/Interface.h"

#include <xcb/xcb.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vl::x11 {

class WindowConnection {
  public:
    // None when the display cannot be opened.
    static std::unique_ptr<WindowConnection> open(const std::string& displayName);
    ~WindowConnection();
    WindowConnection(const WindowConnection&) = delete;
    WindowConnection& operator=(const WindowConnection&) = delete;

    xcb_connection_t* raw() const { return connection_; }
    xcb_window_t root() const { return root_; }
    bool broken() const;

    enum Atom {
        netSupportingWmCheck,
        netClientList,
        netClientListStacking,
        netActiveWindow,
        netWmName,
        utf8String,
        netWmPid,
        netFrameExtents,
        netWmWindowType,
        typeNormal,
        typeDialog,
        typeDock,
        typeDesktop,
        typeNotification,
        typeUtility,
        typeToolbar,
        typeMenu,
        typeSplash,
        netMoveResizeWindow,
        netWmState,
        stateMaximizedVert,
        stateMaximizedHorz,
        stateFullscreen,
        stateHidden,
        gtkApplicationId,
        atomCount
    };
    xcb_atom_t atom(Atom which) const { return atoms_[which]; }

    // Whether an EWMH window manager runs (its check window is alive and names itself).
    bool windowManagerRunning();
    // _NET_CLIENT_LIST (mapping order) or _NET_CLIENT_LIST_STACKING (bottom to top).
    std::vector<xcb_window_t> clientList(bool stacking);
    std::optional<xcb_window_t> activeWindow();

    std::vector<std::uint32_t> cardinals(xcb_window_t window, xcb_atom_t property, xcb_atom_t type);
    std::optional<std::string> text(xcb_window_t window, xcb_atom_t property, xcb_atom_t type);

    ProcessID pid(xcb_window_t window);
    // The process of the client that made the window, as the X server knows it; 0 if unknown.
    ProcessID clientPid(xcb_window_t window);
    // The owners of many windows in one round trip (0 where unknown).
    std::vector<ProcessID> pids(const std::vector<xcb_window_t>& windows);
    WindowKind kind(xcb_window_t window);
    bool hidden(xcb_window_t window);
    std::string title(xcb_window_t window);
    // The outer frame: the client area grown by the frame extents; none when the window is gone.
    std::optional<DisplayRect> frame(xcb_window_t window);
    // left, right, top, bottom.
    std::array<std::uint32_t, 4> frameExtents(xcb_window_t window);
    std::optional<WindowRecord> record(xcb_window_t window);

    void sendToRoot(xcb_window_t window, xcb_atom_t type, std::array<std::uint32_t, 5> data);

  private:
    WindowConnection(xcb_connection_t* connection, xcb_window_t root);
    std::string appID(xcb_window_t window, ProcessID pid);

    xcb_connection_t* connection_;
    xcb_window_t root_;
    std::array<xcb_atom_t, atomCount> atoms_{};
};

}  // namespace vl::x11
