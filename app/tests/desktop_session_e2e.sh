#!/bin/bash
# The server's own headless desktop is one a remote user can work in: a session's snapshot shows
# the wallpaper and the panel (not a black screen), the panel's launcher starts a terminal, and a
# "desktopsession" command runs in place of ours.
source "$(dirname "$0")/../../tests/e2e/lib.sh"

private_server_settings
server_config set password "desk-pw"
start_server_with_desktop

# The panel comes up beside the window manager (a dock window on the root).
panel_up() { DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY xdotool search --class tint2 >/dev/null 2>&1; }
for _ in $(seq 100); do panel_up && break; sleep 0.1; done
check "the panel runs on the desktop" panel_up

status=0
"$CLIENT" share "127.0.0.1:$PORT" --password desk-pw --size 1280x720@30 --seconds 4 \
  --snapshot "$WORK/desk.png" >"$WORK/share.out" 2>"$WORK/share.err" || status=$?
check "share exits 0" test "$status" -eq 0
ffmpeg -v error -i "$WORK/desk.png" -f rawvideo -pix_fmt rgb24 "$WORK/desk.rgb" || true
python3 - "$WORK/desk.rgb" 1280 720 >"$WORK/verdict" <<'PY'
import sys
d = open(sys.argv[1], 'rb').read(); w, h = int(sys.argv[2]), int(sys.argv[3])
def px(x, y): i = (y * w + x) * 3; return tuple(d[i:i + 3])
# Wallpaper: the upper area is coloured (blue to teal), not black, and changes from top to bottom.
top, middle = px(640, 40), px(640, 400)
wallpaper = sum(top) > 60 and sum(middle) > 60 and top != middle and top[2] > top[0]
# Panel: the bottom rows are the panel's dark band, unlike the wallpaper just above it.
panel = px(640, h - 10)
above = px(640, h - 80)
panel_ok = sum(panel) < sum(above) - 40
print("wallpaper" if wallpaper else "no-wallpaper", "panel" if panel_ok else "no-panel", top, middle, above, panel)
PY
cat "$WORK/verdict"
check "the snapshot shows the wallpaper" grep -q "^wallpaper" "$WORK/verdict"
check "the snapshot shows the panel" grep -q " panel" "$WORK/verdict"

# The launcher's first item starts a terminal.
launched() { DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY xdotool search --class xterm >/dev/null 2>&1; }
eval "$(DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY xdotool getdisplaygeometry --shell)"
DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY xdotool mousemove --sync 22 $((HEIGHT - 18)) click 1
for _ in $(seq 50); do launched && break; sleep 0.1; done
check "the launcher starts a terminal" launched
stop_server

# The user's own session command replaces ours.
server_config set desktopsession "xterm -class UserSession"
start_server_with_desktop
user_session() { DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY xdotool search --class UserSession >/dev/null 2>&1; }
for _ in $(seq 50); do user_session && break; sleep 0.1; done
check "desktopsession runs the user's command" user_session
check "without our panel" bash -c "! DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY xdotool search --class tint2 >/dev/null 2>&1"
stop_server
finish
