#!/usr/bin/env bash
# Windows end to end on GNOME Wayland: the real server on a private headless GNOME Shell running
# our windows extension, with a 800x600 monitor of its own and the GTK witness window on it. While
# the real client shares, the session's virtual monitor is the main one and the witness sits on
# it, and the pointer pushed off it by the desktop's own mouse comes back onto it; afterwards the
# shell's monitor is the main one again and the witness is back where it was.
# DisplayConfig (monitors.py) and the shell's own window list are the witnesses.
source "$(dirname "$0")/../e2e/lib.sh"
source "$(dirname "$0")/mutter_lib.sh"
start_private_shell --virtual-monitor 800x600

start_witness 200 40 40 --windowed
listed() { test -n "$(shell_window vl-witness)"; }
until_true 400 listed || echo "the witness was not listed: $(cat "$WORK/witness.log")"
sleep 1  # its first size
before=$(shell_window vl-witness)
echo "monitors before: $(monitors | tr '\n' ';') witness: $before"

claim_port_block
server_config set controlport "$PORT" >/dev/null
launch_server

# The witness inside the 1280x720 monitor: "X Y W H MONITOR" against "WxH at X,Y".
on_virtual() {
  local x y w h bx by
  read -r x y w h _ <<<"$(shell_window vl-witness)"
  read -r bx by < <(monitors | sed -n 's/.* 1280x720 at \([0-9-]*\),\([0-9-]*\).*/\1 \2/p')
  [ -n "$x" ] && [ -n "$bx" ] && [ "$x" -ge "$bx" ] && [ "$y" -ge "$by" ] &&
    [ $((x + w)) -le $((bx + 1280)) ] && [ $((y + h)) -le $((by + 720)) ]
}
virtual_is_main() { prints '1280x720 at [0-9]+,[0-9]+ primary' monitors; }

status=0
"$CLIENT" share "127.0.0.1:$PORT" --password "$PASSWORD" --size 1280x720@30 --seconds 10 \
  >"$WORK/share.out" 2>"$WORK/share.err" &
client=$!
eventually prints '1280x720 at' monitors || echo "no virtual monitor: $(monitors)"
until_true 200 virtual_is_main; main_during=$?
until_true 200 on_virtual; moved=$?
echo "monitors during: $(monitors | tr '\n' ';') witness: $(shell_window vl-witness)"
# The desktop's own mouse moves the pointer within the virtual monitor, where it stays; then
# pushes it onto the shell's monitor, and confinement brings it back within a few 16 ms ticks.
mouse() { /usr/bin/python3 "$WAYLAND_HERE/local_mouse.py" "$@" 2>&1; }
mouse 300 0 0.5 >"$WORK/mouse-within.log"
mouse -2000 0 1 >"$WORK/mouse-off.log"
echo "local mouse: $(tr '\n' ';' <"$WORK/mouse-within.log") then $(tr '\n' ';' <"$WORK/mouse-off.log")"
read -r bx _ < <(monitors | sed -n 's/.* 1280x720 at \([0-9-]*\),\([0-9-]*\).*/\1 \2/p')
x_of() { sed -n "s/^$1 \([0-9-]*\) .*/\1/p" "$WORK/mouse-$2.log"; }
wait $client || status=$?
back() { test "$(shell_window vl-witness)" = "$before"; }
eventually back; returned=$?
echo "monitors after: $(monitors | tr '\n' ';') witness: $(shell_window vl-witness)"

check "share exits 0" test "$status" -eq 0
check "the virtual monitor was the main one during the session" test "$main_during" -eq 0
check "the witness moved onto the virtual monitor" test "$moved" -eq 0
check "the local mouse moves the pointer" test "$(x_of after within)" = "$(($(x_of before within) + 300))"
check "confinement brought the pointer back onto the virtual monitor" test "$(x_of after off)" -ge "${bx:-9999}"
check "the shell's monitor is the main one again" prints '800x600 at 0,0 primary' monitors
check "the witness went back where it was" test "$returned" -eq 0
check "the server found the shell's windows" not grep -q 'Windows cannot be moved' "$WORK/server.out"
check "server shuts down cleanly on SIGTERM" stop_server
check "no crash report in the log" bash -c "! grep -Eq 'AddressSanitizer|terminate called' '$WORK/server.out'"
finish
