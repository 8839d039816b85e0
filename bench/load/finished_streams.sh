#!/usr/bin/env bash
# What strangers cost the server that end their control stream at once (FIN) and keep the
# connection open, sending nothing else: the server's CPU time while five of them hold for 10 s,
# beside the same with nothing connected (the baseline). With a second build folder, its server
# is measured the same way in the same run (for example a build of an earlier commit).
#   bash bench/load/finished_streams.sh BUILD [OTHER_BUILD]
set -euo pipefail
build=${1:?usage: finished_streams.sh BUILD [OTHER_BUILD]}
strangers="$build/tests/reliability/vl_strangers"
work=$(mktemp -d /tmp/vl-finished.XXXXXX)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

cpu_seconds() {  # utime + stime of a process, in seconds
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f", ($14 + $15) / hz }' "/proc/$1/stat"
}

measure() {  # measure BUILD STRANGERS: CPU seconds the server spent over the 10 s hold
  local server="$1/app/vantrel-link" port
  port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  rm -rf "$work/config" "$work/data"
  "$server" --config-dir "$work/config" config set controlport "$port" >/dev/null
  "$server" --config-dir "$work/config" --data-dir "$work/data" --no-login-item --no-desktop \
    --headless >"$work/server.out" 2>&1 &
  server_pid=$!
  until grep -q "ControlServer is ready and listening on" "$work/server.out"; do sleep 0.1; done
  sleep 1
  local before after
  before=$(cpu_seconds "$server_pid")
  if [ "$2" -gt 0 ]; then
    "$strangers" --port "$port" --connections "$2" --finish-and-hold 10 >/dev/null
  else
    sleep 10
  fi
  after=$(cpu_seconds "$server_pid")
  kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; server_pid=""
  echo "$before $after" | awk '{ printf "%.2f", $2 - $1 }'
}

for b in "$@"; do
  idle=$(measure "$b" 0)
  held=$(measure "$b" 5)
  printf '%-28s server CPU over 10 s: %6s s idle, %6s s with 5 finished streams held\n' \
    "$b" "$idle" "$held"
done
