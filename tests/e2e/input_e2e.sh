#!/usr/bin/env bash
# Input end to end: the real server on its own headless desktop and the real client playing a
# timed input script (share --input). xev's window on the desktop is the witness of the click,
# the typed Unicode text and the scroll; xdotool shows the cursor kept on the virtual display
# during the session and free after it; moveWindowToVDIfNotOnVD brings back a window moved away;
# jumpToDisplay takes the focused window to the extra display, and focusing it there again
# makes the server tell the client (activeWindowOnDisplay).
# A scroll delta is in pixels: 120 is two wheel clicks at the default 50 pixels a click.
source "$(dirname "$0")/lib.sh"

private_server_settings
start_server_with_desktop
export DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY

xev -geometry 600x400+100+100 -name vl-input-witness >"$WORK/xev.out" 2>&1 &
XEV_PID=$!
trap 'kill "$XEV_PID" ${OTHER_PID:-} 2>/dev/null || true; cleanup' EXIT
for _ in $(seq 100); do xdotool search --name '^vl-input-witness$' >/dev/null 2>&1 && break; sleep 0.05; done
witness=$(xdotool search --name '^vl-input-witness$' | head -n1)
xev -geometry 300x200+900+500 -name vl-input-other >/dev/null 2>&1 &
OTHER_PID=$!
for _ in $(seq 100); do xdotool search --name '^vl-input-other$' >/dev/null 2>&1 && break; sleep 0.05; done
other=$(xdotool search --name '^vl-input-other$' | head -n1)
check "the witness window is up" test -n "$witness"

virtual_bounds() {  # the 1280x720 output: "X Y W H"
  xrandr --query | sed -n 's/.* \(1280\)x\(720\)+\([0-9-]*\)+\([0-9-]*\).*/\3 \4 \1 \2/p' | head -n1
}
window_x() { xdotool getwindowgeometry "$witness" | sed -n 's/.*Position: \([0-9-]*\),.*/\1/p'; }
pointer_x() { xdotool getmouselocation | sed -n 's/x:\([0-9-]*\) .*/\1/p'; }

# The witness moves onto the virtual display with the other windows, keeping its place there
# (100, 100 from the corner), so the display's centre is inside it.
cat >"$WORK/script.jsonl" <<'JSON'
{"at": 2.0, "type": "mouseEvent", "message": {"shareId": "$main", "button": 0, "kind": 0, "horzPosition": 0.5, "vertPosition": 0.5}}
{"at": 2.1, "type": "mouseEvent", "message": {"shareId": "$main", "button": 0, "kind": 1, "horzPosition": 0.5, "vertPosition": 0.5}}
{"at": 2.2, "type": "mouseEvent", "message": {"shareId": "$main", "button": 0, "kind": 3, "horzPosition": 0.5, "vertPosition": 0.5}}
{"at": 2.5, "type": "text", "message": {"shareId": "$main", "keyCode": 4, "characters": "Grüße €", "modifierFlags": 0, "isKeyDown": true}}
{"at": 2.6, "type": "text", "message": {"shareId": "$main", "keyCode": 4, "characters": "", "modifierFlags": 0, "isKeyDown": false}}
{"at": 3.0, "type": "scroll", "message": {"shareId": "$main", "horzPosition": 0.5, "vertPosition": 0.5, "direction": 1, "delta": 120}}
{"at": 7.0, "type": "moveWindowToVDIfNotOnVD", "message": {"shareId": "$main"}}
{"at": 9.0, "type": "jumpToDisplay", "message": {"shareId": "$extra"}}
JSON

"$CLIENT" share "127.0.0.1:$PORT" --password "$PASSWORD" --size 1280x720@30 --extra 1920x1080 --seconds 12 \
  --input "$WORK/script.jsonl" >"$WORK/share.out" 2>"$WORK/share.err" &
client=$!
for _ in $(seq 100); do [ -n "$(virtual_bounds)" ] && break; sleep 0.1; done
vd=$(virtual_bounds)
echo "virtual display: $vd"
check "the virtual display came up" test -n "$vd"
read -r vx _ vw _ <<<"$vd"
# The script's clock starts when the client has its display.
for _ in $(seq 100); do grep -q '^display ' "$WORK/share.out" && break; sleep 0.1; done

# While the session streams, the cursor is kept on the virtual display.
sleep 4
xdotool mousemove 5 5
sleep 0.2
px=$(pointer_x)
echo "pointer after a move to (5, 5) during the session: x=$px"
check "the cursor stays on the virtual display during the session" \
  test "$px" -ge "$vx" -a "$px" -lt $((vx + vw))

# A window moved off the virtual display comes back on the client's command (at 7 s).
xdotool windowmove "$witness" 50 50
sleep 0.3
echo "witness moved away to x=$(window_x)"
for _ in $(seq 100); do grep -q 'handleMoveWindowToVDIfNotOnVD' "$WORK/server.out" && break; sleep 0.1; done
sleep 0.5
wx=$(window_x)
echo "witness after moveWindowToVDIfNotOnVD: x=$wx"
check "moveWindowToVDIfNotOnVD brought the window back" test "$wx" -ge "$vx"

# The focused window (the witness, clicked at 2 s) jumps to the extra display at 9 s.
# The server may round the extra display's size to one it supports.
size=$(sed -n 's/^extra \([0-9]*\)x\([0-9]*\) .*/\1x\2/p' "$WORK/share.out")
# (Not the desktop's own display at the origin, which may have the same size.)
extra=$(xrandr --query | grep -v "${size}+0+0" |
  sed -n "s/.* ${size}+\\([0-9-]*\\)+\\([0-9-]*\\).*/\\1 \\2 ${size%x*} ${size#*x}/p" | head -n1)
echo "extra display: $extra"
read -r ex _ ew _ <<<"$extra"
for _ in $(seq 100); do grep -q 'handleJumpToDisplay\|jumpToDisplay' "$WORK/server.out" && break; sleep 0.1; done
sleep 0.8
jx=$(window_x)
echo "witness after jumpToDisplay: x=$jx"
check "jumpToDisplay took the focused window to the extra display" \
  test -n "$ex" -a "$jx" -ge "${ex:-0}" -a "$jx" -lt $((${ex:-0} + ${ew:-0}))
# Focus goes to a window on the main virtual display, then back to the witness on the extra one.
xdotool windowactivate "$other"
sleep 0.5
xdotool windowactivate "$witness"
sleep 0.5
extra_id=$(sed -n 's/^extra [0-9]*x[0-9]* video port [0-9]* id \(.*\)$/\1/p' "$WORK/share.out")
wait $client || true
grep '^activeWindowOnDisplay' "$WORK/share.out" || true
check "the client heard that the active window is on the extra display" \
  grep -q "^activeWindowOnDisplay .*$extra_id" "$WORK/share.out"
sleep 1
xdotool mousemove 5 5
sleep 0.2
check "after the session the cursor is free" test "$(pointer_x)" -eq 5

check "the witness saw the click's press" grep -q "ButtonPress event" "$WORK/xev.out"
check "the witness saw the click's release" grep -q "ButtonRelease event" "$WORK/xev.out"
check "the press was button 1" bash -c "grep -A4 'ButtonPress event' '$WORK/xev.out' | grep -q 'button 1,'"
for ch in G r ü ß e €; do
  check "the witness received the text's '$ch'" grep -q "XLookupString gives [0-9] bytes: (.*) \"$ch\"" "$WORK/xev.out"
done
check "the scroll arrived as wheel presses" bash -c "grep -A4 'ButtonPress event' '$WORK/xev.out' | grep -Eq 'button (4|5),'"
check "the server names the script's messages nowhere as unknown" \
  bash -c "! grep -q 'unknown shared item' '$WORK/server.out'"

check "server shuts down cleanly on SIGTERM" stop_server
finish
