#!/usr/bin/env bash
# Window management end to end: the real server on its own headless desktop (Xorg with the dummy
# driver and openbox) and the real client over QUIC on 127.0.0.1. Three test windows move onto
# the virtual display while a client shares, a window opened meanwhile follows them, everything
# goes back afterwards, and the client's arrangement returns in its next session at that size.
# xwininfo, xdotool and xrandr are the witnesses.
source "$(dirname "$0")/../../tests/e2e/lib.sh"
: "${VL_TEST_WINDOW:?VL_TEST_WINDOW must name the test window program}"

private_server_settings
start_server_with_desktop
echo "server desktop on $DESKTOP_DISPLAY"
export DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY

WINDOW_PIDS=()
open_window() {  # TITLE W H X Y
  "$VL_TEST_WINDOW" "$@" >/dev/null 2>&1 &
  WINDOW_PIDS+=($!)
  for _ in $(seq 100); do
    xdotool search --name "^$1\$" >/dev/null 2>&1 && return 0
    sleep 0.05
  done
  echo "window $1 never appeared"; return 1
}
trap 'for p in "${WINDOW_PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; cleanup' EXIT

frame() {  # the client area of the window titled $1: "X Y W H"
  local id
  id=$(xdotool search --name "^$1\$" | head -n1)
  xwininfo -id "$id" | awk '/Absolute upper-left X/{x=$4} /Absolute upper-left Y/{y=$4}
    /Width:/{w=$2} /Height:/{h=$2} END{print x, y, w, h}'
}
inside() {  # inside "X Y W H" "BX BY BW BH"
  read -r x y w h <<<"$1"; read -r bx by bw bh <<<"$2"
  [ "$x" -ge "$bx" ] && [ "$y" -ge "$by" ] && [ $((x + w)) -le $((bx + bw)) ] && [ $((y + h)) -le $((by + bh)) ]
}
close_to() {  # close_to "X Y W H" "X Y W H": within 2 pixels each
  read -r a b c d <<<"$1"; read -r e f g h <<<"$2"
  for pair in "$a $e" "$b $f" "$c $g" "$d $h"; do
    read -r u v <<<"$pair"; [ $((u > v ? u - v : v - u)) -le 2 ] || return 1
  done
}
virtual_bounds() {  # the 1280x720 output: "X Y W H"
  xrandr --query | sed -n 's/.* \(1280\)x\(720\)+\([0-9-]*\)+\([0-9-]*\).*/\3 \4 \1 \2/p' | head -n1
}
xr() { xrandr --query | grep -E '^Screen|[0-9]+x[0-9]+\+'; }

open_window "Alpha" 400 300 100 100
open_window "Beta" 640 480 700 200
open_window "Gamma" 300 200 1200 600
sleep 0.5
declare -A before
for t in Alpha Beta Gamma; do before[$t]=$(frame $t); echo "$t before: ${before[$t]}"; done
layout_before=$(xr)

# Session 1: 1280x720 for 6 s.
"$CLIENT" share "127.0.0.1:$PORT" --password 'Ez3Kq$vn' --size 1280x720@30 --seconds 6 \
  >"$WORK/share1.out" 2>"$WORK/share1.err" &
client=$!
for _ in $(seq 100); do [ -n "$(virtual_bounds)" ] && break; sleep 0.1; done
sleep 1.5
vd=$(virtual_bounds)
echo "virtual display: $vd"
check "the virtual display came up" test -n "$vd"
for t in Alpha Beta Gamma; do
  now=$(frame $t); echo "$t during: $now"
  check "$t is on the virtual display" inside "$now" "$vd"
done
open_window "Delta" 320 240 1500 700
sleep 1
delta=$(frame Delta); echo "Delta: $delta"
check "a window opened during the session follows onto the virtual display" inside "$delta" "$vd"
# The client's arrangement: Beta put somewhere of our choosing on the virtual display.
read -r vx vy _ _ <<<"$vd"
xdotool search --name '^Beta$' windowmove $((vx + 333)) $((vy + 111))
sleep 0.5
arranged=$(frame Beta); echo "Beta arranged: $arranged"
wait $client || true
sleep 2
for t in Alpha Beta Gamma; do
  now=$(frame $t); echo "$t after: $now"
  check "$t is back where it was" close_to "$now" "${before[$t]}"
done
check "the display arrangement is as before" test "$(xr)" = "$layout_before"
check "the layout was saved for the client" grep -q "Saved window layout for .* at 1280x720: [0-9]* windows" "$WORK/server.out"

# Session 2, same client and size: Beta returns to the client's arrangement.
"$CLIENT" share "127.0.0.1:$PORT" --password 'Ez3Kq$vn' --size 1280x720@30 --seconds 4 \
  >"$WORK/share2.out" 2>"$WORK/share2.err" &
client=$!
for _ in $(seq 100); do grep -q "Restoring saved window layout" "$WORK/server.out" && break; sleep 0.1; done
sleep 0.5
again=$(frame Beta); echo "Beta in session 2: $again"
check "the client's layout was restored" grep -q "Restoring saved window layout" "$WORK/server.out"
check "Beta is where the client left it" close_to "$again" "$arranged"
wait $client || true

check "server shuts down cleanly on SIGTERM" stop_server
check "no crash report in the log" bash -c "! grep -Eq 'AddressSanitizer|terminate called' '$WORK/server.out'"
grep -E "WindowMgmt|DisplayWindowManager" "$WORK/server.out" | head -40
finish
