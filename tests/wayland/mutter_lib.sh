# Shared by the Mutter end-to-end scripts (after tests/e2e/lib.sh): a private GNOME Wayland session
# — session bus, PipeWire and WirePlumber, a headless Mutter, a stand-in session manager — and the
# witnesses that read it.
WAYLAND_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# start_private_mutter [MUTTER ARGUMENTS...]: Mutter on the script's own bus and runtime folder,
# with the environment a GNOME Wayland session gives its programs.
start_private_mutter() {
  start_media_session
  export HOME="$WORK/home" GSETTINGS_BACKEND=memory XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=wayland-vl
  mkdir -p "$HOME"
  unset DISPLAY XAUTHORITY
  mutter --headless --wayland --no-x11 --wayland-display="$WAYLAND_DISPLAY" "$@" \
    >"$WORK/mutter.log" 2>&1 &
  OWN_PIDS+=($!)
  remote_desktop_up() {
    /usr/bin/python3 -c 'import sys, gi; gi.require_version("Gio", "2.0"); from gi.repository import Gio, GLib
bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
sys.exit(0 if bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
    "NameHasOwner", GLib.Variant("(s)", ("org.gnome.Mutter.RemoteDesktop",)), None,
    Gio.DBusCallFlags.NONE, 2000, None).unpack()[0] else 1)' 2>/dev/null
  }
  until_true 400 remote_desktop_up || { echo "mutter offers no remote desktop:"; cat "$WORK/mutter.log"; exit 1; }
  # gnome-session is not installed here: a stand-in answers its idle inhibitor calls.
  /usr/bin/python3 "$WAYLAND_HERE/session_manager.py" >"$WORK/manager.log" 2>&1 &
  OWN_PIDS+=($!)
  until_true 200 grep -q ready "$WORK/manager.log"
}

# Mutter's monitors as DisplayConfig tells them (see monitors.py).
monitors() { /usr/bin/python3 "$WAYLAND_HERE/monitors.py"; }

# start_witness [ARGUMENTS...]: the GTK witness window (witness.py) on the session; its lines go to
# $WORK/witness.log.
start_witness() {
  GDK_BACKEND=wayland NO_AT_BRIDGE=1 /usr/bin/python3 "$WAYLAND_HERE/witness.py" "$@" \
    >"$WORK/witness.log" 2>&1 &
  OWN_PIDS+=($!)
}
witness_said() { grep -qF -- "$1" "$WORK/witness.log"; }
