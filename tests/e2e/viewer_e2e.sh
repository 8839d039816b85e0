#!/usr/bin/env bash
# The desktop viewer end to end: the real server on its own headless desktop (display A) and the
# viewer on a second private X server (display B), both on this machine. The viewer's window is
# smaller than the shared display, so the picture is scaled (0.8): a colour painted on A shows in
# a screenshot of B (ffmpeg's x11grab as the witness); xdotool clicks and types into the viewer on
# B, and xev's window on A gets the click where the scaled point maps to and the typed Unicode
# text. lookAt follows the focus: with neither window focused the server pauses both items'
# captures, and a change on A then reaches only the window focused since. The status key lays its
# figures over the picture and takes them away again. A busy server and a wrong password each give
# their message and status; the server stopping mid-session makes the viewer say so and offer to
# reconnect: after the server is back, R shows the desktop again, and Q quits with status 5.
source "$(dirname "$0")/lib.sh"

VIEWER="$VL_BIN/client/viewer/vantrel-link-viewer"
trap 'stop_own; cleanup' EXIT

private_server_settings
start_server_with_desktop
desk() { DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY "$@"; }
desk xsetroot -solid '#C81E28'
desk xev -geometry 500x300+100+100 -name vl-viewer-witness >"$WORK/xev.out" 2>&1 &
OWN_PIDS+=($!)
until_true 100 desk xdotool search --name '^vl-viewer-witness$' >/dev/null 2>&1
witness_up() { desk xdotool search --name '^vl-viewer-witness$' >/dev/null; }
check "the witness window is up on A" witness_up

# Display B, where the viewer runs.
# 1024 pixels wide makes the viewer's window for a 1280x720 display 1024x576; it is centred, below
# the extra display's window in the top-left corner.
start_second_display 1024x1600x24
VIEWER_DISPLAY=$SECOND_DISPLAY
viewer_side() {  # (backgrounded as "viewer_side exec ...", so that $! is the program's pid)
  DISPLAY=$VIEWER_DISPLAY SDL_VIDEODRIVER=x11 SDL_RENDER_DRIVER=software SDL_AUDIODRIVER=dummy \
    XDG_RUNTIME_DIR=$WORK/runtime "$@"
}
printf '%s\n' "$PASSWORD" >"$WORK/password"
# geometry_of NAME-REGEX → "ID X Y W H" of the first such window on B (empty when none).
geometry_of() {
  local id
  id=$(viewer_side xdotool search --name "$1" 2>/dev/null | head -n1 || true)
  [ -n "$id" ] || return 1
  viewer_side xwininfo -id "$id" 2>/dev/null | awk -v id="$id" '/Absolute upper-left X/{x=$NF}
    /Absolute upper-left Y/{y=$NF} /Width/{w=$NF} /Height/{h=$NF} END{if (w) print id, x, y, w, h}'
}
found_geometry() { G=$(geometry_of "$1") && [ -n "$G" ]; }

# Nothing listens on the block's last port: the handshake times out (10 s) meanwhile.
(status=0; viewer_side "$VIEWER" "127.0.0.1:$((PORT + 9))" --password x >/dev/null \
  2>"$WORK/unreach.err" || status=$?; echo "$status" >"$WORK/unreach.status") &
UNREACH=$!

# A device already connected makes the server busy for the viewer.
"$CLIENT" connect "127.0.0.1:$PORT" --password "$PASSWORD" --hold 3 >"$WORK/other.out" 2>&1 &
OTHER=$!
until_true 100 grep -q '^ret200' "$WORK/other.out"
status=0
viewer_side "$VIEWER" "127.0.0.1:$PORT" --password-file "$WORK/password" --size 1280x720@30 \
  >"$WORK/busy.out" 2>"$WORK/busy.err" || status=$?
cat "$WORK/busy.err"
check "a busy server: the viewer says so and exits with 3 ($status)" \
  bash -c "[ $status -eq 3 ] && grep -q 'busy' '$WORK/busy.err'"
wait "$OTHER" || true

status=0
VANTREL_LINK_PASSWORD=wrong viewer_side "$VIEWER" "127.0.0.1:$PORT" --size 1280x720@30 \
  >"$WORK/wrong.out" 2>"$WORK/wrong.err" || status=$?
cat "$WORK/wrong.err"
check "a wrong password: the viewer says so and exits with 4 ($status)" \
  bash -c "[ $status -eq 4 ] && grep -q 'wrong password' '$WORK/wrong.err'"


# (In $WORK with core dumps on: a crash leaves its backtrace in the log.)
viewer_with_core() { cd "$WORK" && ulimit -c unlimited && viewer_side exec "$@"; }
backtrace_if_crashed() {
  local core
  core=$(ls "$WORK"/core* 2>/dev/null | head -n1) || true
  [ -n "$core" ] && command -v gdb >/dev/null && gdb -batch -ex 'thread apply all bt 12' "$VIEWER" "$core" 2>/dev/null | tail -n 80
  return 0
}
VANTREL_LINK_PASSWORD=$PASSWORD viewer_with_core "$VIEWER" "127.0.0.1:$PORT" --size 1280x720@30 \
  --extra 640x480 \
  >"$WORK/viewer.out" 2>"$WORK/viewer.err" &
VIEWER_PID=$!
OWN_PIDS+=($VIEWER_PID)
check "the session started" until_true 600 grep -q '^display 1280x720' "$WORK/viewer.out"
# (The title is bare once the session runs; the unreachable attempt's says "connecting".)
G=""; until_true 100 found_geometry '^Vantrel Link$' || true
echo "viewer window on B: $G"
read -r window wx wy ww wh <<<"${G:-0 0 0 0 0}"
check "the viewer's window keeps the display's aspect within B (${ww}x${wh})" \
  test "$ww" = 1024 -a "$wh" = 576

# The window's pixel at item (1100, 600) — root colour on A, away from the witness and cursor.
pixel() {  # pixel X Y on B → "R G B"
  viewer_side ffmpeg -loglevel error -f x11grab -video_size 1x1 -i "$VIEWER_DISPLAY+$1,$2" \
    -frames:v 1 -f rawvideo -pix_fmt rgb24 - | od -An -tu1 | xargs
}
near() {  # near "R G B" R G B TOLERANCE
  python3 -c 'import sys; a=list(map(int,sys.argv[1].split())); b=list(map(int,sys.argv[2:5])); t=int(sys.argv[5]); sys.exit(0 if len(a)==3 and all(abs(x-y)<=t for x,y in zip(a,b)) else 1)' "$@"
}
shows_red() { near "$(pixel $((wx + 880)) $((wy + 480)))" 200 30 40 24; }
check "the colour painted on A shows in the viewer's window on B" until_true 200 shows_red
echo "pixel seen: $(pixel $((wx + 880)) $((wy + 480)))"
desk xsetroot -solid '#20C040'
shows_green() { near "$(pixel $((wx + 880)) $((wy + 480)))" 32 192 64 24; }
check "a new colour on A follows on B" until_true 200 shows_green

# The extra display's window shows its own stream of the same desktop: the root colour.
G=""; until_true 100 found_geometry 'extra display' || true
echo "extra display's window on B: $G"
read -r _ ex ey ew eh <<<"${G:-0 0 0 0 0}"
check "the extra display's window opened beside the main one" test "$((ey + eh))" -le "$wy"
extra_green() { near "$(pixel $((ex + ew / 2)) $((ey + eh / 2)))" 32 192 64 24; }
check "the extra display's window shows the desktop's colour" until_true 200 extra_green

# lookAt follows the focus on B. A window of B's own takes it from both viewer windows: the
# viewer looks at nothing and the server pauses both captures, naming each item.
main_id=$(sed -n 's/^display [0-9x]* id //p' "$WORK/viewer.out")
extra_id=$(sed -n 's/^extra [0-9x]* id //p' "$WORK/viewer.out")
extra_window=$(viewer_side xdotool search --name 'extra display' | head -n1)
viewer_side xev -geometry 100x100+900+1400 -name vl-b-other >/dev/null 2>&1 &
OWN_PIDS+=($!)
until_true 100 viewer_side xdotool search --name '^vl-b-other$' >/dev/null 2>&1 || true
other=$(viewer_side xdotool search --name '^vl-b-other$' | head -n1)
viewer_side xdotool windowfocus --sync "$window"
viewer_side xdotool windowfocus --sync "$other"
paused() { grep -q "handleLookat: paused capture $1" "$WORK/server.out"; }
check "focus away from the viewer: the server paused the main item's capture ($main_id)" \
  until_true 200 paused "$main_id"
check "... and the extra item's ($extra_id)" until_true 200 paused "$extra_id"
# The extra window focused: its item alone resumes, so a change on A reaches it and not the main
# window (which would have shown it by the time the extra one does).
viewer_side xdotool windowfocus --sync "$extra_window"
desk xsetroot -solid '#D0D030'
extra_yellow() { near "$(pixel $((ex + ew / 2)) $((ey + eh / 2)))" 208 208 48 24; }
check "the extra window focused: its display resumed and shows the change" until_true 200 extra_yellow
check "... while the main display, not looked at, stayed paused" shows_green
viewer_side xdotool windowfocus --sync "$window"
desk xsetroot -solid '#3050D0'
shows_blue() { near "$(pixel $((wx + 880)) $((wy + 480)))" 48 80 208 24; }
check "the main window focused: its display resumed and shows the next change" \
  until_true 200 shows_blue
desk xsetroot -solid '#20C040'
both_green() { shows_green && extra_green; }
check "both displays run again" until_true 200 both_green

# A click at window (320, 240) is item (400, 300): on A the virtual display's origin plus that.
vd=$(desk xrandr --query | sed -n 's/.* 1280x720+\([0-9-]*\)+\([0-9-]*\).*/\1 \2/p' | head -n1)
read -r vx vy <<<"$vd"
# The click also gives the window the focus, as a window manager does on a click: the focus and
# the press reach the viewer together.
viewer_side xdotool windowfocus --sync "$other"
viewer_side xdotool mousemove --sync $((wx + 320)) $((wy + 240)) windowfocus "$window" click 1
check "the witness on A saw the click" until_true 100 grep -q 'ButtonRelease event' "$WORK/xev.out"
grep -q 'ButtonRelease event' "$WORK/xev.out" ||
  { echo "server's pointer lines:"; grep -i 'mouse\|pointer\|🟥' "$WORK/server.out" | tail -n 15 || true; }
root=$(grep -A2 'ButtonPress event' "$WORK/xev.out" | sed -n 's/.*root:(\([0-9-]*\),\([0-9-]*\)).*/\1 \2/p' | head -n1 || true)
echo "virtual display at $vd; the press landed at root $root (expected $((vx + 400)) $((vy + 300)))"
read -r rx ry <<<"$root"
near_point() { [ -n "$rx" ] && [ $((rx - vx - 400)) -ge -2 ] && [ $((rx - vx - 400)) -le 2 ] &&
  [ $((ry - vy - 300)) -ge -2 ] && [ $((ry - vy - 300)) -le 2 ]; }
check "the click landed at the matching point (within 2 pixels)" near_point

# A drag from item (300, 200) to (500, 350): window (240, 160) to (400, 280). The witness sees
# the press, motion with button 1 held, and the release where the drag ended.
viewer_side xdotool mousemove --sync $((wx + 240)) $((wy + 160)) mousedown 1 \
  mousemove --sync $((wx + 320)) $((wy + 220)) mousemove --sync $((wx + 400)) $((wy + 280)) mouseup 1
released_twice() { [ "$(grep -c 'ButtonRelease event' "$WORK/xev.out")" -ge 2 ]; }
check "the witness saw the drag's release" until_true 100 released_twice
root=$(grep -A2 'ButtonRelease event' "$WORK/xev.out" | sed -n 's/.*root:(\([0-9-]*\),\([0-9-]*\)).*/\1 \2/p' | tail -n1 || true)
echo "the drag ended at root $root (expected $((vx + 500)) $((vy + 350)))"
read -r rx ry <<<"$root"
drag_end() { [ -n "$rx" ] && [ $((rx - vx - 500)) -ge -2 ] && [ $((rx - vx - 500)) -le 2 ] &&
  [ $((ry - vy - 350)) -ge -2 ] && [ $((ry - vy - 350)) -le 2 ]; }
check "the drag ended at the matching point (within 2 pixels)" drag_end
check "the witness saw motion with button 1 held" grep -q 'state 0x100' "$WORK/xev.out"
# One wheel notch down: a pixel scroll the desktop turns into wheel presses.
viewer_side xdotool click 5
wheel() { prints 'button (4|5),' grep -A4 'ButtonPress event' "$WORK/xev.out"; }
check "the wheel reached the witness as wheel presses" until_true 100 wheel

viewer_side xdotool windowfocus --sync "$window"
# The desktop's first Unicode key goes through a freshly mapped spare keycode that the witness
# has at times translated with its old (empty) symbol; a first key is typed and awaited before
# the text under test (the server's side of it is reported separately).
viewer_side xdotool type 'x'
first_key() { grep -q 'KeyRelease event' "$WORK/xev.out"; }
until_true 100 first_key || true
viewer_side xdotool type --delay 60 'Grüße €'
for ch in G r ü ß e €; do
  check "the witness received the typed '$ch'" \
    until_true 100 grep -q "XLookupString gives [0-9] bytes: (.*) \"$ch\"" "$WORK/xev.out"
done

# The status key lays the figures over the picture's top-left corner: light text in a dark box
# where the desktop's green was, gone again on the second press.
region() {  # region X Y W H on B → "LIGHT DARK": pixels near white and near black
  viewer_side ffmpeg -loglevel error -f x11grab -video_size "$3x$4" -i "$VIEWER_DISPLAY+$1,$2" \
    -frames:v 1 -f rawvideo -pix_fmt rgb24 - | python3 -c 'import sys
d = sys.stdin.buffer.read(); px = [d[i:i + 3] for i in range(0, len(d) - 2, 3)]
print(sum(min(p) > 200 for p in px), sum(max(p) < 40 for p in px))'
}
overlay_shown() { read -r light dark <<<"$(region $((wx + 8)) $((wy + 8)) 240 40)"; [ "$light" -gt 300 ] && [ "$dark" -gt 1500 ]; }
overlay_gone() { [ "$(region $((wx + 8)) $((wy + 8)) 240 40)" = "0 0" ]; }
check "before the status key the corner shows only the desktop" overlay_gone
viewer_side xdotool key ctrl+alt+s
check "the status key lays text over the picture" until_true 100 overlay_shown
echo "status overlay: $(region $((wx + 8)) $((wy + 8)) 240 40) light/dark pixels"
viewer_side xdotool key ctrl+alt+s
check "the second press takes it away" until_true 100 overlay_gone

wait "$UNREACH" || true
cat "$WORK/unreach.err"
check "nothing listening: the viewer says the server cannot be reached ($(cat "$WORK/unreach.status"))" \
  bash -c "[ $(cat "$WORK/unreach.status") -eq 1 ] && grep -q 'cannot be reached' '$WORK/unreach.err'"

# Closed by the user (SIGTERM is SDL's quit): the session ends and the server is free again.
kill -TERM "$VIEWER_PID"
status=0
wait "$VIEWER_PID" || status=$?
check "the viewer quits cleanly when asked ($status)" test "$status" -eq 0
[ "$status" -eq 0 ] || backtrace_if_crashed

# Without --size the remote display follows the window, asked for once the resizing stops.
VANTREL_LINK_PASSWORD=$PASSWORD viewer_side exec "$VIEWER" "127.0.0.1:$PORT" \
  >"$WORK/viewer2.out" 2>"$WORK/viewer2.err" &
VIEWER_PID=$!
OWN_PIDS+=($VIEWER_PID)
check "a second session started at the window's size" until_true 600 grep -q '^display ' "$WORK/viewer2.out"
G=""; until_true 100 found_geometry '^Vantrel Link$' || true
read -r window _ <<<"${G:-0}"
for size in "700 500" "760 540" "800 580" "820 600"; do
  viewer_side xdotool windowsize "$window" $size
  sleep 0.1
done
check "one new size was asked for, the last one" until_true 200 grep -q '^resize 820x600' "$WORK/viewer2.out"
check "the server made a display of the new size" \
  until_true 400 bash -c "grep -c '^display ' '$WORK/viewer2.out' | grep -qx 2"
grep '^resize\|^display' "$WORK/viewer2.out"
check "no size in between was asked for" test "$(grep -c '^resize' "$WORK/viewer2.out")" -eq 1
G=""; until_true 100 found_geometry '^Vantrel Link$' || true
read -r _ wx wy ww wh <<<"${G:-0 0 0 0 0}"
# (The server gives the nearest display it makes; the picture is scaled into the window.)
edge_green() { near "$(pixel $((wx + ww - 20)) $((wy + wh / 2)))" 32 192 64 24; }
check "the new display's picture reaches the resized window's edge" until_true 200 edge_green

# The server stops mid-session: the viewer says so, in its window and on stderr, and offers to
# reconnect.
check "server shuts down cleanly on SIGTERM" stop_server
offered() { viewer_side xdotool search --name 'server stopped .* press R to reconnect, Q to quit' >/dev/null 2>&1; }
# The server closes the connection as it stops, so the offer comes at once, not after a time-out.
check "the window's title offers to reconnect within 3 s" until_true 60 offered
# (The title is set, and seen, before the line is written.)
check "... and so does stderr" \
  until_true 100 grep -q 'The server stopped — press R to reconnect, Q to quit' "$WORK/viewer2.err"
notice_shown() { read -r light dark <<<"$(region $((wx + ww / 2 - 100)) $((wy + wh / 2 - 8)) 200 16)"; [ "$light" -gt 100 ] && [ "$dark" -gt 500 ]; }
check "the offer is written over the picture" until_true 100 notice_shown
check "the viewer waits for an answer" kill -0 "$VIEWER_PID"
# The server again on the same port (with a desktop of its own, painted blue), then R.
start_server_with_desktop
desk xsetroot -solid '#3050D0'
viewer_side xdotool windowfocus --sync "$window" key r
check "R reconnects" until_true 400 grep -q '^reconnected' "$WORK/viewer2.out"
edge_blue() { near "$(pixel $((wx + ww - 20)) $((wy + wh / 2)))" 48 80 208 24; }
check "the desktop's colour shows again after reconnecting" until_true 200 edge_blue
check "the offer is gone" not notice_shown
# Stopped again, Q declines: exit status 5, as without the offer.
check "server shuts down cleanly again" stop_server
offered_again() { [ "$(grep -c 'press R to reconnect' "$WORK/viewer2.err")" -ge 2 ]; }
until_true 200 offered_again || true
viewer_side xdotool windowfocus --sync "$window" key q
status=0
until_true 200 bash -c "! kill -0 $VIEWER_PID 2>/dev/null" || true
wait "$VIEWER_PID" || status=$?
cat "$WORK/viewer2.err"
check "Q quits with status 5 ($status)" test "$status" -eq 5

# For scripts, --no-reconnect keeps the old way: the server stopping ends the viewer with status 5.
start_server_with_desktop
VANTREL_LINK_PASSWORD=$PASSWORD viewer_side exec "$VIEWER" "127.0.0.1:$PORT" --size 640x480@30 \
  --no-reconnect >"$WORK/viewer3.out" 2>"$WORK/viewer3.err" &
VIEWER_PID=$!
OWN_PIDS+=($VIEWER_PID)
check "a session without the offer started" until_true 600 grep -q '^display ' "$WORK/viewer3.out"
stop_server
status=0
until_true 200 bash -c "! kill -0 $VIEWER_PID 2>/dev/null" || true
wait "$VIEWER_PID" || status=$?
check "--no-reconnect: the viewer said the server stopped and exited with 5 ($status), offering nothing" \
  bash -c "[ $status -eq 5 ] && grep -q 'the server stopped' '$WORK/viewer3.err' &&
    ! grep -q 'press R' '$WORK/viewer3.err'"
finish
