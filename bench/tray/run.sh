#!/usr/bin/env bash
# The tray application's cost beside the console program, both idle (no client) on one private
# Xvfb with trayer for the same time: CPU in % of one core, the difference, and the time from
# start to the icon embedded in the tray beside the time to the control port listening.
#   bench/tray/run.sh [build-dir] [seconds]      (defaults: build, 60)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
seconds=${2:-60}
cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j2 --target vantrel-link
server="$build/app/vantrel-link"

work=$(mktemp -d /tmp/vl-tray-bench.XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/runtime" && chmod 700 "$work/runtime"
exec 9>"$work/display"
Xvfb -displayfd 9 -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")" XDG_RUNTIME_DIR="$work/runtime"
unset XAUTHORITY DBUS_SESSION_BUS_ADDRESS
trayer --edge top --align right --widthtype pixel --width 200 --heighttype pixel --height 32 \
  >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do xdotool search --name '^panel$' >/dev/null 2>&1 && break; sleep 0.1; done

free_block() {
  python3 -c '
import random, socket
for _ in range(200):
    base = random.randrange(20000, 60000, 10); socks = []
    try:
        for p in range(base, base + 10):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("0.0.0.0", p)); socks.append(s)
        print(base); break
    except OSError: pass
    finally:
        for s in socks: s.close()'
}
now_ms() { date +%s%3N; }
# launch NAME [ARGS...]: starts a server with its own settings; sets PID_<NAME> and LISTEN_<NAME>
launch() {
  local name=$1; shift
  "$server" --config-dir "$work/$name/config" config set controlport "$(free_block)"
  local start; start=$(now_ms)
  "$server" --config-dir "$work/$name/config" --data-dir "$work/$name/data" --no-login-item \
    --no-desktop "$@" >"$work/$name.out" 2>&1 &
  local pid=$!
  pids+=($pid)
  eval "PID_$name=$pid START_$name=$start"
}
launch headless --headless
launch tray
# Start-up: the control port listening (both), the icon embedded in the tray (tray only).
icon_ms=""
for _ in $(seq 300); do
  if [ -z "$icon_ms" ] && xwininfo -root -tree 2>/dev/null |
      grep -q '"Vantrel Link Server": ("vantrel-link".*+0+0 '; then icon_ms=$(now_ms); fi
  grep -q "ControlServer is ready" "$work/headless.out" && grep -q "ControlServer is ready" \
    "$work/tray.out" && [ -n "$icon_ms" ] && break
  sleep 0.05
done
listening_ms() {  # the log line's own time stamp, in ms since the epoch
  python3 - "$1" <<'PY'
import datetime, re, sys
for line in open(sys.argv[1]):
    if "ControlServer is ready" in line:
        stamp = datetime.datetime.strptime(line[:23], "%Y-%m-%d %H:%M:%S.%f")
        print(int(stamp.replace(tzinfo=datetime.timezone.utc).timestamp() * 1000)); break
PY
}
echo "start-up: headless listening after $(( $(listening_ms "$work/headless.out") - START_headless )) ms;" \
     "tray listening after $(( $(listening_ms "$work/tray.out") - START_tray )) ms," \
     "icon in the tray after $((icon_ms - START_tray)) ms"

sleep 2  # let both settle
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
h0=$(ticks "$PID_headless"); t0=$(ticks "$PID_tray")
sleep "$seconds"
h1=$(ticks "$PID_headless"); t1=$(ticks "$PID_tray")
python3 - "$h0" "$h1" "$t0" "$t1" "$hz" "$seconds" <<'PY'
import sys
h0, h1, t0, t1, hz, s = map(float, sys.argv[1:])
headless = 100 * (h1 - h0) / hz / s
tray = 100 * (t1 - t0) / hz / s
print(f"idle CPU over {s:.0f} s: headless {headless:.3f} % of a core, tray {tray:.3f} %,"
      f" difference {tray - headless:+.3f} % (target within 0.2 %)")
PY
