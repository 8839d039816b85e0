#!/bin/bash
# The tray application on a private Xvfb with trayer as tray host, driven by xdotool like a person:
# the icon embeds grey, turns to colour while a client is connected and back; its menu opens the
# settings window (the log holds two entries) and the About window, and Quit ends the program.
# Without a tray host the settings window shows at start. Screenshots (ffmpeg x11grab) are judged
# by their pixels, and kept in $SHOTS.
set -euo pipefail
: "${VL_SERVER:?}" "${VL_CLIENT:?}"
WORK=$(mktemp -d /tmp/vl-tray-gui.XXXXXX)
SHOTS=${VL_TRAY_SHOTS:-$WORK/shots}
mkdir -p "$SHOTS" "$WORK/runtime" && chmod 700 "$WORK/runtime"
PIDS=()
FAILURES=0
cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  [ -n "${VL_TRAY_SHOTS:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT
check() { if "${@:2}"; then echo "ok - $1"; else echo "FAILED - $1"; FAILURES=$((FAILURES + 1)); fi; }
# until_true SECONDS COMMAND...: polls the condition until it holds or the time is up.
until_true() {
  local deadline=$((SECONDS + $1)); shift
  while [ "$SECONDS" -lt "$deadline" ]; do "$@" && return 0; sleep 0.1; done
  "$@"
}
for program in "$VL_SERVER" "$VL_CLIENT"; do
  [ -x "$program" ] || { echo "missing program: $program"; exit 1; }
done

# Xvfb picks a free display itself and holds it through the X lock file convention.
exec 9>"$WORK/display"
Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
PIDS+=($!)
until_true 10 test -s "$WORK/display" || { echo "Xvfb did not start"; exit 1; }
export DISPLAY=":$(cat "$WORK/display")"
unset XAUTHORITY DBUS_SESSION_BUS_ADDRESS PULSE_SERVER
export XDG_RUNTIME_DIR="$WORK/runtime"

start_trayer() {
  trayer --edge top --align right --widthtype pixel --width 200 --heighttype pixel --height 32 \
    --transparent false --tint 0x202020 >"$WORK/trayer.log" 2>&1 &
  TRAYER_PID=$!
  PIDS+=($TRAYER_PID)
  until_true 10 xdotool search --name '^panel$' >/dev/null
}

PORT=$(python3 - <<'PY'
import random, socket
for _ in range(200):
    base = random.randrange(20000, 60000, 10)
    socks = []
    try:
        for p in range(base, base + 10):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("0.0.0.0", p)); socks.append(s)
        print(base); break
    except OSError:
        pass
    finally:
        for s in socks: s.close()
PY
)
config() { "$VL_SERVER" --config-dir "$WORK/config" config "$@"; }
config set controlport "$PORT"
config set password "tray-test-pw"

start_server() {
  "$VL_SERVER" --config-dir "$WORK/config" --data-dir "$WORK/data" --no-login-item \
    >"$WORK/server.out" 2>&1 &
  SERVER_PID=$!
  PIDS+=($SERVER_PID)
  until_true 30 grep -q "ControlServer is ready and listening on" "$WORK/server.out" ||
    { echo "server did not come up:"; cat "$WORK/server.out"; exit 1; }
}

# The icon's window inside the tray: "X Y W H" on the screen.
icon_geometry() {
  xwininfo -root -tree | awk '/"Vantrel Link Server": \("vantrel-link"/ && /\+0\+0 / {
    split($NF, at, "+"); split($(NF-1), size, /[x+]/); print at[2], at[3], size[1], size[2]; exit }'
}
grab() {  # grab NAME X Y W H → $SHOTS/NAME.png and $WORK/NAME.rgb
  ffmpeg -loglevel error -y -f x11grab -video_size "$4x$5" -i "$DISPLAY+$2,$3" -frames:v 1 \
    "$SHOTS/$1.png"
  ffmpeg -loglevel error -y -i "$SHOTS/$1.png" -f rawvideo -pix_fmt rgb24 "$WORK/$1.rgb"
}
# The largest channel spread of any pixel: 0 for pure greys, large for the coloured icon.
saturation() {
  python3 -c "import sys; d=open(sys.argv[1],'rb').read(); print(max(max(d[i:i+3])-min(d[i:i+3]) for i in range(0,len(d),3)))" "$WORK/$1.rgb"
}
distinct() {
  python3 -c "import sys; d=open(sys.argv[1],'rb').read(); print(len({d[i:i+3] for i in range(0,len(d),3)}))" "$WORK/$1.rgb"
}
icon_saturation() { read -r X Y W H < <(icon_geometry); grab "$1" "$X" "$Y" "$W" "$H"; saturation "$1"; }
icon_is_colour() { [ "$(icon_saturation "$1")" -gt 100 ]; }
icon_is_grey() { [ "$(icon_saturation "$1")" -lt 20 ]; }
connect_client() {  # connect_client ID NAME HOLD
  "$VL_CLIENT" connect "127.0.0.1:$PORT" --password tray-test-pw --device-id "$1" \
    --device-name "$2" --hold "$3" >"$WORK/client-$1.out" 2>&1
}
# Whether the status item's menu is mapped: a top-level window of ours that is neither the icon
# nor Qt's 1x1 helpers.
menu_open() {
  local id
  for id in $(xwininfo -root -children | awk '/"Vantrel Link Server": \("vantrel-link"/ {print $1}'); do
    xwininfo -id "$id" | grep -q "Map State: IsViewable" && return 0
  done
  return 1
}
menu() {  # menu DOWNS: opens the status item's menu and picks the item DOWNS steps down
  read -r X Y W H < <(icon_geometry)
  # Not --sync: it waits for a motion event that never comes when the pointer is already there.
  xdotool mousemove $((X + W / 2)) $((Y + H / 2))
  sleep 0.2
  xdotool click 3
  until_true 5 menu_open
  sleep 0.3  # the menu takes the keyboard once mapped
  local keys=()
  for _ in $(seq "$1"); do keys+=(Down); done
  xdotool key "${keys[@]}" Return
}
visible() { xdotool search --onlyvisible --name "$1" >/dev/null; }
icon_embedded() { test -n "$(icon_geometry)"; }

# --- With a tray host.
start_trayer
start_server
check "the icon embeds in the tray" until_true 10 icon_embedded
check "the idle icon is grey" until_true 5 icon_is_grey idle
read -r _ _ W H < <(icon_geometry)
check "the idle icon is drawn (not an empty square)" test "$(distinct idle)" -gt 8

connect_client DEV-1 "First Headset" 3 &
CLIENT_PID=$!
check "the icon turns to colour while a client is connected" until_true 10 icon_is_colour connected
wait "$CLIENT_PID" || true
check "the icon is grey again after the client leaves" until_true 15 icon_is_grey disconnected
connect_client DEV-2 "Second Headset" 0 || true
until_true 10 grep -q "Client connected: Second Headset" "$WORK/server.out" || true

menu 2  # About, Settings
check "Settings opens the settings window" until_true 5 visible '^Vantrel Link Settings$'
sleep 0.5
WIN=$(xdotool search --onlyvisible --name '^Vantrel Link Settings$' | head -n1)
eval "$(xdotool getwindowgeometry --shell "$WIN")"
grab settings "$X" "$Y" "$WIDTH" "$HEIGHT"
# The log's rows: two lines of text in the table's upper part, the rest of it blank.
python3 - "$WORK/settings.rgb" "$WIDTH" "$HEIGHT" >"$WORK/rows" <<'PY'
import sys
d = open(sys.argv[1], 'rb').read(); w, h = int(sys.argv[2]), int(sys.argv[3])
def dark(y): return sum(1 for x in range(20, w - 100) if sum(d[(y*w+x)*3:(y*w+x)*3+3]) < 200)
rows, inside = 0, False
for y in range(190, h - 20):
    ink = dark(y) > 3
    if ink and not inside: rows += 1
    inside = ink
print(rows)
PY
check "the settings window lists the header and two connections" test "$(cat "$WORK/rows")" -ge 3

menu 1  # About
check "About opens its window" until_true 5 visible '^About Vantrel Link Server$'
sleep 0.5
WIN=$(xdotool search --onlyvisible --name '^About Vantrel Link Server$' | head -n1)
eval "$(xdotool getwindowgeometry --shell "$WIN")"
check "the About window is 420 x 300" test "${WIDTH}x${HEIGHT}" = 420x300
grab about "$X" "$Y" "$WIDTH" "$HEIGHT"
check "the About window shows the coloured image" test "$(saturation about)" -gt 100

menu 3  # About, Hide Settings, Quit
STATUS=0
until_true 15 bash -c "! kill -0 $SERVER_PID 2>/dev/null" || STATUS=timeout
wait "$SERVER_PID" || STATUS=$?
check "Quit ends the program cleanly" test "$STATUS" = 0
python3 - "$WORK/config/defaults.json" >"$WORK/saved" <<'PY'
import base64, json, sys
logs = json.loads(base64.b64decode(json.load(open(sys.argv[1]))["SavedLogs"]["data"]))
print(" ".join(entry["deviceId"] for entry in logs))
PY
check "the log of two connections is saved" test "$(cat "$WORK/saved")" = "DEV-1 DEV-2"

# --- Without a tray host: the settings window instead.
kill "$TRAYER_PID"; wait "$TRAYER_PID" 2>/dev/null || true
until_true 10 bash -c "! xdotool search --name '^panel$' >/dev/null"
start_server
check "without a tray the settings window shows at start" until_true 10 visible '^Vantrel Link Settings$'
kill -TERM "$SERVER_PID"
STATUS=0
wait "$SERVER_PID" || STATUS=$?
check "a signal ends the tray program cleanly" test "$STATUS" = 0

[ -z "${VL_TRAY_SHOTS:-}" ] || echo "screenshots: $SHOTS"
[ "$FAILURES" -eq 0 ]
