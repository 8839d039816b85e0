#!/usr/bin/env bash
# Input end to end with the accessibility bus (run under dbus-run-session): the real server on its
# headless desktop finds a GTK list's scroll thumb through AT-SPI, so the client's drag on it keeps
# the pointer's x where the press was while the list scrolls, and a press just beside the split
# view's divider lands on the divider. The witness application prints every event it receives.
source "$(dirname "$0")/lib.sh"

claim_port_block
export XDG_CONFIG_HOME="$WORK/xdg-config" XDG_DATA_HOME="$WORK/xdg-data"
mkdir -p "$WORK/runtime" && chmod 700 "$WORK/runtime"
export XDG_RUNTIME_DIR="$WORK/runtime"
server_config set controlport "$PORT"
# A loaded test machine's applications answer slower than the server's default allows.
server_config set accessibilitytimeoutms 500

# The accessibility bus for this session, stopped by process id (its daemon first).
/usr/libexec/at-spi-bus-launcher --launch-immediately >"$WORK/a11y.log" 2>&1 &
A11Y_PID=$!
stop_a11y() {
  for child in $(pgrep -P "$A11Y_PID" 2>/dev/null); do kill "$child" 2>/dev/null || true; done
  kill "$A11Y_PID" 2>/dev/null || true
}
for _ in $(seq 100); do
  # Asked without activating it: an activated launcher would not be ours to stop.
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:org.a11y.Bus 2>/dev/null | grep true >/dev/null && break
  sleep 0.1
done

start_server_with_desktop
export DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY
GTK_OVERLAY_SCROLLING=0 /usr/bin/python3 "$(dirname "$0")/../input/input_witness.py" \
  >"$WORK/witness.log" 2>&1 &
WITNESS_PID=$!
trap 'kill "$WITNESS_PID" 2>/dev/null || true; stop_a11y; cleanup' EXIT
witness_up() {  # both windows mapped and the main one's layout reported
  grep -qs '^event map window=Vl_Input_Back' "$WORK/witness.log" &&
    grep -qs '^geometry handle' "$WORK/witness.log"
}
# GTK through python starts slowly on a loaded machine: up to 30 s.
check "the witness is up" until_true 600 witness_up
check "the server found the accessibility bus" \
  bash -c "! grep -q 'No accessibility bus\|No D-Bus session bus: elements' '$WORK/server.out'"

# The windows move onto the 1280x720 virtual display keeping their places, so the witness's
# widgets sit where they are now, relative to the display's corner.
geometry() { sed -n "s/^geometry $1 //p" "$WORK/witness.log" | tail -n1; }
read -r bx by bw _ <<<"$(geometry listbar)"
read -r hx hy hw hh <<<"$(geometry handle)"
unit() { awk -v v="$1" -v size="$2" 'BEGIN { printf "%.6f", v / size }'; }
tx=$((bx + bw / 2)); ty=$((by + 15))
nx=$((hx + hw + 10)); ny=$((hy + hh - 40))
{
  echo "{\"at\": 2.0, \"type\": \"mouseEvent\", \"message\": {\"shareId\": \"\$main\", \"button\": 0, \"kind\": 0, \"horzPosition\": $(unit $tx 1280), \"vertPosition\": $(unit $ty 720)}}"
  echo "{\"at\": 2.1, \"type\": \"mouseEvent\", \"message\": {\"shareId\": \"\$main\", \"button\": 0, \"kind\": 1, \"horzPosition\": $(unit $tx 1280), \"vertPosition\": $(unit $ty 720)}}"
  for i in 1 2 3 4 5 6; do
    echo "{\"at\": 2.$((1 + i)), \"type\": \"mouseEvent\", \"message\": {\"shareId\": \"\$main\", \"button\": 0, \"kind\": 2, \"horzPosition\": $(unit $((tx + 10 * i)) 1280), \"vertPosition\": $(unit $((ty + 20 * i)) 720)}}"
  done
  echo "{\"at\": 2.9, \"type\": \"mouseEvent\", \"message\": {\"shareId\": \"\$main\", \"button\": 0, \"kind\": 3, \"horzPosition\": $(unit $((tx + 60)) 1280), \"vertPosition\": $(unit $((ty + 120)) 720)}}"
  echo "{\"at\": 3.5, \"type\": \"mouseEvent\", \"message\": {\"shareId\": \"\$main\", \"button\": 0, \"kind\": 0, \"horzPosition\": $(unit $nx 1280), \"vertPosition\": $(unit $ny 720)}}"
  echo "{\"at\": 3.6, \"type\": \"mouseEvent\", \"message\": {\"shareId\": \"\$main\", \"button\": 0, \"kind\": 1, \"horzPosition\": $(unit $nx 1280), \"vertPosition\": $(unit $ny 720)}}"
  echo "{\"at\": 3.7, \"type\": \"mouseEvent\", \"message\": {\"shareId\": \"\$main\", \"button\": 0, \"kind\": 2, \"horzPosition\": $(unit $((nx + 40)) 1280), \"vertPosition\": $(unit $ny 720)}}"
  echo "{\"at\": 3.8, \"type\": \"mouseEvent\", \"message\": {\"shareId\": \"\$main\", \"button\": 0, \"kind\": 3, \"horzPosition\": $(unit $((nx + 40)) 1280), \"vertPosition\": $(unit $ny 720)}}"
} >"$WORK/script.jsonl"

paned_before=$(sed -n 's/^paned //p' "$WORK/witness.log" | tail -n1)
"$CLIENT" share "127.0.0.1:$PORT" --password "$PASSWORD" --size 1280x720@30 --seconds 6 \
  --input "$WORK/script.jsonl" >"$WORK/share.out" 2>"$WORK/share.err" || true

# Pointer events between the first press and release: the drag on the thumb.
first_press=$(grep -n '^event button-press' "$WORK/witness.log" | head -n1 | cut -d: -f1)
first_release=$(grep -n '^event button-release' "$WORK/witness.log" | head -n1 | cut -d: -f1)
drag_xs=$(sed -n "${first_press:-1},${first_release:-1}p" "$WORK/witness.log" |
  sed -n 's/^event \(button-press\|motion-notify\|button-release\) .* x=\([0-9-]*\) .*/\2/p' | sort -u)
echo "x during the thumb drag: $(echo $drag_xs)"
check "the thumb drag kept the pointer's x" test "$(echo "$drag_xs" | wc -l)" -eq 1
check "the thumb drag scrolled the list" grep -q '^list-scroll [1-9]' "$WORK/witness.log"
second_press=$(grep '^event button-press' "$WORK/witness.log" | sed -n 2p)
echo "press beside the divider: $second_press"
# The virtual display (gone with the session) began where the thumb's press was, less its x.
vx=$(($(echo "$drag_xs" | head -n1) - tx))
px=$(sed -n 's/.* x=\([0-9-]*\) .*/\1/p' <<<"$second_press")
check "the press beside the divider landed on it" \
  test -n "$px" -a "$((px - ${vx:-0}))" -ge "$hx" -a "$((px - ${vx:-0}))" -lt "$((hx + hw))"
paned_after=$(sed -n 's/^paned //p' "$WORK/witness.log" | tail -n1)
echo "divider position: ${paned_before:-300} -> ${paned_after:-unchanged}"
check "the divider moved with the drag" test "${paned_after:-0}" -ge "$((${paned_before:-300} + 30))"

check "server shuts down cleanly on SIGTERM" stop_server
finish
