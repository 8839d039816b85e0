# Shared helpers for the end-to-end scripts: a private settings folder, a free port, the server
# started and stopped by process id, and checks that say what they expected.
set -euo pipefail

: "${VL_BIN:?VL_BIN must name the build folder holding vantrel-link and vantrel-link-client}"
SERVER="$VL_BIN/app/vantrel-link"
CLIENT="$VL_BIN/client/vantrel-link-client"
WORK=$(mktemp -d /tmp/vl-e2e.XXXXXX)
SERVER_PID=""
FAILURES=0
CHECKS=0

cleanup() {
  if [ -n "$SERVER_PID" ] && kill -0 "$SERVER_PID" 2>/dev/null; then
    kill "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

# A UDP port P such that P..P+9 are all free on 127.0.0.1.
free_port_block() {
  python3 - <<'PY'
import random, socket
for _ in range(200):
    base = random.randrange(20000, 60000, 10)
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

server_config() { "$SERVER" --config-dir "$WORK/config" config "$@"; }

start_server() {
  "$SERVER" --config-dir "$WORK/config" --data-dir "$WORK/data" --no-login-item --no-desktop "$@" \
    >"$WORK/server.out" 2>&1 &
  SERVER_PID=$!
  for _ in $(seq 100); do
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
