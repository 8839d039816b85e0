# Shared helpers for the end-to-end scripts: a private settings folder, a free port, the server
# started and stopped by process id, and checks that say what they expected.
set -euo pipefail

: "${VL_BIN:?VL_BIN must name the build folder holding vantrel-link and vantrel-link-client}"
SERVER="$VL_BIN/app/vantrel-link"
CLIENT="$VL_BIN/client/vantrel-link-client"
WORK=$(mktemp -d "${VL_E2E_TMP:-/tmp}/vl-e2e.XXXXXX")
SERVER_PID=""
FAILURES=0
CHECKS=0

DBUS_PID=""
# Programs a script starts beside the server (sound servers, viewers, witness windows), ended by
# their process ids at exit, before the server.
OWN_PIDS=()
stop_own() {
  local pid
  for pid in "${OWN_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${OWN_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  OWN_PIDS=()
}

cleanup() {
  stop_own
  if [ -n "$DBUS_PID" ]; then kill "$DBUS_PID" 2>/dev/null || true; fi
  if [ -n "$SERVER_PID" ] && kill -0 "$SERVER_PID" 2>/dev/null; then
    kill "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
  fi
  # KEEP=/folder keeps the work folder (logs, recordings) for a look after a failure.
  if [ -n "${KEEP:-}" ]; then cp -r "$WORK" "$KEEP"; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

# A UDP port P such that P..P+9 are all free on 127.0.0.1; P from LOW to HIGH when given.
free_port_block() {
  python3 - "${1:-20000}" "${2:-60000}" <<'PY'
import random, socket, sys
for _ in range(200):
    base = random.randrange(int(sys.argv[1]), int(sys.argv[2]) - 9, 10)
    socks = []
    try:
        for p in range(base, base + 10):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind(("0.0.0.0", p))
            socks.append(s)
        print(base)
        break
    except OSError:
        pass
    finally:
        for s in socks:
            s.close()
PY
}

# until_true TRIES COMMAND...: polls every 0.05 s, at most TRIES times.
until_true() {
  local tries=$1; shift
  for _ in $(seq "$tries"); do "$@" && return 0; sleep 0.05; done
  return 1
}
# eventually COMMAND...: polls for up to 10 s.
eventually() { until_true 200 "$@"; }

# start_second_display WxHxDEPTH: a private Xvfb beside the server's desktop (it picks a free
# display number itself and holds it through the X lock file convention). Sets SECOND_DISPLAY.
start_second_display() {
  exec 9>"$WORK/second-display"
  Xvfb -displayfd 9 -screen 0 "$1" -nolisten tcp >"$WORK/second-display.log" 2>&1 &
  OWN_PIDS+=($!)
  until_true 200 test -s "$WORK/second-display" || { echo "Xvfb did not start"; exit 1; }
  SECOND_DISPLAY=":$(cat "$WORK/second-display")"
}

# start_media_session: PipeWire and WirePlumber of the script's own, on a private runtime folder
# and session bus, as a user's desktop has them for its camera.
start_media_session() {
  mkdir -p "$WORK/runtime" && chmod 700 "$WORK/runtime"
  export XDG_RUNTIME_DIR="$WORK/runtime" PIPEWIRE_RUNTIME_DIR="$WORK/runtime"
  export XDG_STATE_HOME="$WORK/state" XDG_CONFIG_HOME="$WORK/xdg-config" XDG_DATA_HOME="$WORK/xdg-data"
  local bus
  bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
  export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$bus")
  DBUS_PID=$(sed -n 2p <<<"$bus")
  pipewire >"$WORK/pipewire.log" 2>&1 &
  OWN_PIDS+=($!)
  until_true 200 pw-cli info 0 >/dev/null 2>&1
  wireplumber >"$WORK/wireplumber.log" 2>&1 &
  OWN_PIDS+=($!)
  video_ready() { prints Video wpctl status; }
  until_true 200 video_ready
}

# prints PATTERN COMMAND...: whether the command's output holds PATTERN (grep -E). The output is
# read whole first: under pipefail `command | grep -q` fails when grep stops reading early and the
# command dies of SIGPIPE, so a listing that holds the pattern could read as one that does not.
prints() {
  local pattern=$1 out
  shift
  out=$("$@" 2>/dev/null) || true
  grep -Eq -- "$pattern" <<<"$out"
}
not() { ! "$@"; }

# tone_wav FILE SECONDS: a 1 kHz stereo tone at -20 dBFS (peak 0.1), 48 kHz 32-bit float WAV, as
# the headset's microphone sends it.
tone_wav() {
  python3 - "$1" "$2" <<'PY'
import math, struct, sys
frames = int(float(sys.argv[2]) * 48000)
data = b"".join(struct.pack("<2f", *(2 * [0.1 * math.sin(2 * math.pi * 1000 * i / 48000)]))
                for i in range(frames))
header = b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " + \
    struct.pack("<IHHIIHH", 16, 3, 2, 48000, 48000 * 8, 8, 32) + b"data" + struct.pack("<I", len(data))
open(sys.argv[1], "wb").write(header + data)
PY
}

server_config() { "$SERVER" --config-dir "$WORK/config" config "$@"; }
# The password the scripts connect with (a fresh installation would generate its own).
PASSWORD='Ez3Kq$vn'
server_config set password "$PASSWORD" >/dev/null

# The server without a desktop of its own (the control tests need none).
start_server() { launch_server --no-desktop "$@"; }

# The server with its own headless desktop: DISPLAY unset, so it starts Xorg with the dummy driver
# and a window manager; the cookie lands under $WORK/runtime. Sets DESKTOP_DISPLAY (":N") and
# DESKTOP_XAUTHORITY for test X clients.
start_server_with_desktop() {
  mkdir -p "$WORK/runtime" && chmod 700 "$WORK/runtime"
  SERVER_ENV=(env -u DISPLAY -u XAUTHORITY "XDG_RUNTIME_DIR=$WORK/runtime")
  launch_server "$@"
  DESKTOP_DISPLAY=$(sed -n 's/.*Desktop on display \(:[0-9]*\).*/\1/p' "$WORK/server.out" | head -n1)
  if [ -z "$DESKTOP_DISPLAY" ]; then echo "server started no desktop:"; cat "$WORK/server.out"; exit 1; fi
  DESKTOP_XAUTHORITY="$WORK/runtime/vantrel-link-desktop/xauthority-${DESKTOP_DISPLAY#:}"
}

SERVER_ENV=()
launch_server() {
  "${SERVER_ENV[@]}" "$SERVER" --config-dir "$WORK/config" --data-dir "$WORK/data" --no-login-item "$@" \
    >"$WORK/server.out" 2>&1 &
  SERVER_PID=$!
  for _ in $(seq 300); do
    grep -q "ControlServer is ready and listening on" "$WORK/server.out" 2>/dev/null && return 0
    kill -0 "$SERVER_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "server did not come up:"; cat "$WORK/server.out"; exit 1
}

stop_server() {
  kill -TERM "$SERVER_PID"
  local status=0
  wait "$SERVER_PID" || status=$?
  SERVER_PID=""
  return $status
}

check() {  # check NAME CONDITION-COMMAND...
  local name=$1; shift
  CHECKS=$((CHECKS + 1))
  if "$@"; then echo "ok - $name"; else echo "FAILED - $name"; FAILURES=$((FAILURES + 1)); fi
}

finish() {
  echo "$((CHECKS - FAILURES)) passed, $FAILURES failed"
  [ "$FAILURES" -eq 0 ]
}
