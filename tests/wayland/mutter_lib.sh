# Shared by the Mutter end-to-end scripts (after tests/e2e/lib.sh): a private GNOME Wayland session
# — session bus, PipeWire and WirePlumber, a headless Mutter, a stand-in session manager — and the
# witnesses that read it.
WAYLAND_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# start_private_mutter [MUTTER ARGUMENTS...]: Mutter on the script's own bus and runtime folder,
# with the environment a GNOME Wayland session gives its programs.
start_private_mutter() {
  start_media_session
  export HOME="$WORK/home" GSETTINGS_BACKEND=${SETTINGS_BACKEND:-memory} XDG_SESSION_TYPE=wayland
  export WAYLAND_DISPLAY=wayland-vl
  mkdir -p "$HOME"
  unset DISPLAY XAUTHORITY
  local compositor=${COMPOSITOR:-mutter} system_bus=()
  # The shell asks logind on the system bus: the script's own bus stands in, where nothing answers.
  [ "$compositor" = gnome-shell ] && system_bus=("DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS")
  env "${system_bus[@]}" "$compositor" --headless --wayland --no-x11 --wayland-display="$WAYLAND_DISPLAY" "$@" \
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

# start_private_shell [SHELL ARGUMENTS...]: GNOME Shell in Mutter's place, with our windows
# extension in the script's data folder and enabled in a settings file of its own.
start_private_shell() {
  local uuid=windows@vantrel-link.example
  mkdir -p "$WORK/xdg-data/gnome-shell/extensions" "$WORK/xdg-config/glib-2.0/settings"
  cp -r "$WAYLAND_HERE/../../platform/windows/gnomeshell/extension" \
    "$WORK/xdg-data/gnome-shell/extensions/$uuid"
  printf "[org/gnome/shell]\nenabled-extensions=['%s']\n" "$uuid" \
    >"$WORK/xdg-config/glib-2.0/settings/keyfile"
  COMPOSITOR=gnome-shell SETTINGS_BACKEND=keyfile start_private_mutter "$@"
  extension_up() { prints 'com.vantrellink.Windows' gdbus call --session -d org.freedesktop.DBus \
    -o /org/freedesktop/DBus -m org.freedesktop.DBus.ListNames; }
  until_true 400 extension_up || { echo "the shell extension did not start:"; cat "$WORK/mutter.log"; exit 1; }
}

# shell_window TITLE: "X Y W H MONITOR" of the window as the shell lists it.
shell_window() {
  /usr/bin/python3 - "$1" <<'PY'
import sys, gi
gi.require_version("Gio", "2.0")
from gi.repository import Gio
bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
windows, = bus.call_sync("com.vantrellink.Windows", "/com/vantrellink/Windows",
    "com.vantrellink.Windows", "List", None, None, Gio.DBusCallFlags.NONE, 5000, None).unpack()
for window in windows:
    if window[2] == sys.argv[1]:
        print(*window[4:9])
        break
PY
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
