#!/bin/bash
# The installer window against a real systemd user manager of the test's own: a private mount
# namespace gives it a /run of its own (the manager refuses to start unless /run/systemd/system
# exists), and a fresh home and runtime folder keep it apart from the machine's. Install and
# Remove are clicked with xdotool on a private Xvfb; systemctl is the witness of the unit's state,
# and the window is judged by screenshots: the active state looks different from the inactive
# one, and after removal the window looks as it did before installing.
set -euo pipefail
: "${VL_INSTALLER:?}" "${VL_LENSWAY:?}"
if [ -z "${VL_IN_NAMESPACE:-}" ]; then
  export VL_IN_NAMESPACE=1
  if [ "$(id -u)" = 0 ]; then
    exec unshare --mount --propagation private bash "$0" "$@"
  fi
  exec unshare --user --map-root-user --mount --propagation private bash "$0" "$@"
fi

WORK=$(mktemp -d /tmp/vl-installer.XXXXXX)
SHOTS=${VL_INSTALLER_SHOTS:-$WORK/shots}
mkdir -p "$SHOTS" "$WORK/runtime" "$WORK/home" && chmod 700 "$WORK/runtime"
PIDS=()
FAILURES=0
CGROUPS=()
cleanup() {
  local pid group
  # The manager stops its units (lensway, the sound server) when it ends.
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  for group in "${CGROUPS[@]}"; do
    echo $$ >"$(dirname "$group")/cgroup.procs" 2>/dev/null || true
    find "$group" -depth -type d -exec rmdir {} + 2>/dev/null || true
  done
  [ -n "${VL_INSTALLER_SHOTS:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT
check() { if "${@:2}"; then echo "ok - $1"; else echo "FAILED - $1"; FAILURES=$((FAILURES + 1)); fi; }
until_true() {  # until_true SECONDS COMMAND...
  local deadline=$((SECONDS + $1)); shift
  while [ "$SECONDS" -lt "$deadline" ]; do "$@" && return 0; sleep 0.1; done
  "$@"
}

mount -t tmpfs tmpfs /run
# The manager files its units under its own control group. Without a group of our own, two
# managers (tests run side by side) would share app.slice/lensway.service, and one stopping its
# unit would end the other's daemon.
for hierarchy in /sys/fs/cgroup/systemd /sys/fs/cgroup/unified; do
  group="$hierarchy/vl-installer-$$"
  if [ -w "$hierarchy/cgroup.procs" ] && mkdir "$group" 2>/dev/null; then
    CGROUPS+=("$group")
    echo $$ >"$group/cgroup.procs"
  fi
done
mkdir -p /run/systemd/system
export HOME="$WORK/home" XDG_RUNTIME_DIR="$WORK/runtime"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_STATE_HOME="$HOME/.local/state"
unset DBUS_SESSION_BUS_ADDRESS PULSE_SERVER XAUTHORITY

/lib/systemd/systemd --user >"$WORK/manager.log" 2>&1 &
PIDS+=($!)
manager_up() { systemctl --user is-system-running 2>/dev/null | grep -qE 'running|degraded'; }
until_true 30 manager_up || { echo "the user manager did not start:"; cat "$WORK/manager.log"; exit 1; }
export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
# The manager's own PipeWire units refuse to run as root (ConditionUser=!root); a root test starts
# the sound server beside the manager, on the same runtime folder and bus, as a user's would be.
if ! systemctl --user start pipewire.service 2>/dev/null || ! systemctl --user is-active -q pipewire.service; then
  pipewire >"$WORK/pipewire.log" 2>&1 &
  PIDS+=($!)
  until_true 10 test -S "$XDG_RUNTIME_DIR/pipewire-0" || { echo "PipeWire did not start"; exit 1; }
  wireplumber >"$WORK/wireplumber.log" 2>&1 &
  PIDS+=($!)
fi

exec 9>"$WORK/display"
Xvfb -displayfd 9 -screen 0 800x600x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
PIDS+=($!)
until_true 10 test -s "$WORK/display" || { echo "Xvfb did not start"; exit 1; }
export DISPLAY=":$(cat "$WORK/display")"

T0=$SECONDS
QT_QPA_PLATFORM=xcb "$VL_INSTALLER" >"$WORK/installer.log" 2>&1 &
PIDS+=($!)
window() { xdotool search --name '^Persona Camera Installer$' 2>/dev/null | head -1; }
has_window() { test -n "$(window)"; }
until_true 20 has_window || { echo "no installer window:"; cat "$WORK/installer.log"; exit 1; }
WINDOW=$(window)
echo "window after $((SECONDS - T0)) s"
read -r WX WY WW WH < <(xdotool getwindowgeometry --shell "$WINDOW" |
  awk -F= '/^X=/{x=$2} /^Y=/{y=$2} /^WIDTH=/{w=$2} /^HEIGHT=/{h=$2} END {print x, y, w, h}')

grab() {  # grab NAME → $SHOTS/NAME.png and $WORK/NAME.rgb, the installer's window
  ffmpeg -loglevel error -y -f x11grab -draw_mouse 0 -video_size "${WW}x${WH}" -i "$DISPLAY+$WX,$WY" \
    -frames:v 1 "$SHOTS/$1.png"
  ffmpeg -loglevel error -y -i "$SHOTS/$1.png" -f rawvideo -pix_fmt rgb24 "$WORK/$1.rgb"
}
# The share of pixels that differ between two screenshots, in per mille.
differing() {
  python3 -c "
import sys
a, b = (open(p, 'rb').read() for p in sys.argv[1:3])
n = min(len(a), len(b)) // 3
print(sum(a[3*i:3*i+3] != b[3*i:3*i+3] for i in range(n)) * 1000 // max(n, 1))" \
    "$WORK/$1.rgb" "$WORK/$2.rgb"
}
# The buttons share the bottom row: Install on the left half, Remove on the right.
click_button() {  # click_button install|remove
  local x=$((WX + WW / 4))
  [ "$1" = remove ] && x=$((WX + WW * 3 / 4))
  xdotool mousemove "$x" $((WY + WH - 24)) click 1
}
unit_state() { systemctl --user is-active lensway.service 2>/dev/null || true; }
unit_file_state() { systemctl --user is-enabled lensway.service 2>/dev/null || true; }
unit_is() { test "$(unit_state)" = "$1"; }
unit_file_is() { test "$(unit_file_state)" = "$1"; }
# The pointer away from the buttons, so no hover highlight shows in a screenshot.
away() { xdotool mousemove 790 590; }
# settled NAME: a screenshot NAME equal to the one taken just before it (the window stopped
# painting), polled until it is.
settled() {
  grab "$1.previous"
  grab "$1"
  test "$(differing "$1.previous" "$1")" -eq 0
}
# shows NAME TEST VALUE: a screenshot NAME whose share of pixels differing from "before" passes
# the test against VALUE (-gt 0: another state shows, -eq 0: the first state again).
shows() { grab "$1" && test "$(differing before "$1")" "$2" "$3"; }

away
check "the window settles before installing" until_true 30 settled before
check "before installing, the unit is unknown to the manager" test "$(unit_file_state)" != enabled

click_button install
check "Install enables the unit" until_true 20 unit_file_is enabled
check "and starts lensway under the user manager" until_true 30 unit_is active
check "the unit file went to the user's unit folder" test -f "$XDG_CONFIG_HOME/systemd/user/lensway.service"
check "lensway is up: its frame socket is open" until_true 20 test -S "$XDG_RUNTIME_DIR/lensway/camera.sock"
away
check "the window shows the active state (it differs from before)" until_true 20 shows active -gt 0

click_button remove
check "Remove stops the unit" until_true 20 unit_is inactive
check "and disables it" until_true 20 unit_file_is disabled
away
check "after removal the window looks as before installing" until_true 20 shows removed -eq 0
grep -q "Request finished with result" "$WORK/installer.log" ||
  { echo "installer log:"; cat "$WORK/installer.log"; }

if [ "$FAILURES" -gt 0 ]; then
  echo "$FAILURES check(s) failed; installer log:"
  cat "$WORK/installer.log"
  systemctl --user status lensway.service pipewire.service --no-pager 2>&1 | tail -30 || true
  echo "manager log:"
  tail -30 "$WORK/manager.log"
  exit 1
fi
echo "all checks passed"
