# Helpers for the scripts that kill what the server depends on during a live session: the
# end-to-end helpers, plus finding the server's children and reading the client's counters.
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/lib.sh"

eventually() { for _ in $(seq 200); do "$@" && return 0; sleep 0.05; done; return 1; }

# The live (not yet reaped) child of the server running PROGRAM, by its command name.
server_child() {
  ps --ppid "$SERVER_PID" -o pid=,stat=,args= |
    awk -v name="$1" '{ n = split($3, path, "/") } path[n] == name && $2 !~ /^Z/ { print $1; exit }'
}
# A child running PROGRAM whose pid differs from OLD.
replaced() { local pid; pid=$(server_child "$1") && [ -n "$pid" ] && [ "$pid" != "$2" ]; }

# share NAME SECONDS [ARGS...]: the client in the background (CLIENT_PID), output in $WORK/NAME.*
CLIENT_PID=""
share() {
  local name=$1 seconds=$2; shift 2
  "$CLIENT" share "127.0.0.1:$PORT" --password "$PASSWORD" --size 1280x720@30 --seconds "$seconds" \
    "$@" >"$WORK/$name.out" 2>"$WORK/$name.err" &
  CLIENT_PID=$!
}
# The client's running counters from its progress line: frames of the main display, audio packets.
frames() { tr '\r' '\n' <"$WORK/$1.err" | sed -n 's/.*display: \([0-9]*\) frames.*/\1/p' | tail -n1; }
audio_packets() { tr '\r' '\n' <"$WORK/$1.err" | sed -n 's/.*audio: \([0-9]*\) packets.*/\1/p' | tail -n1; }
# Whether COUNTER (frames or audio_packets) of client NAME grows past its value now within 10 s.
grows() {
  local counter=$1 name=$2 before
  before=$($counter "$name"); before=${before:-0}
  for _ in $(seq 100); do [ "$($counter "$name")" -gt "$before" ] 2>/dev/null && return 0; sleep 0.1; done
  return 1
}
logged() { grep -q -- "$1" "$WORK/server.out"; }

# The root window changes colour every 0.2 s, so the capture always has a new frame to send.
PAINTER_PID=""
start_painter() {
  (
    export DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY
    while :; do
      for c in '#2040E0' '#20E040' '#E0E020'; do xsetroot -solid "$c" 2>/dev/null || true; sleep 0.2; done
    done
  ) &
  PAINTER_PID=$!
}

reliability_cleanup() {
  local pid
  for pid in $PAINTER_PID $CLIENT_PID; do kill "$pid" 2>/dev/null || true; done
  cleanup
}
trap reliability_cleanup EXIT
