#!/usr/bin/env bash
# The desktop's X server and the server are stopped at the same moment, mid-session and just
# after one: the server's threads still on the X connections meet a dead server while it shuts
# down. It exits cleanly each time. ROUNDS (default 3) rounds, each with a fresh server.
source "$(dirname "$0")/lib.sh"

ROUNDS=${ROUNDS:-3}
export XDG_CONFIG_HOME="$WORK/xdg-config" XDG_DATA_HOME="$WORK/xdg-data"
for round in $(seq "$ROUNDS"); do
  claim_port_block
  server_config set controlport "$PORT" >/dev/null
  start_server_with_desktop
  export DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY
  start_painter
  share "round$round" 4
  check "round $round: the session streams" grows frames "round$round"
  # Odd rounds stop both mid-session, even rounds right after the session ended.
  if [ $((round % 2)) -eq 0 ]; then
    wait "$CLIENT_PID" || true
    CLIENT_PID=""
  fi
  x=$(server_child Xorg)
  check "round $round: the server runs Xorg for its desktop" test -n "$x"
  kill -KILL "$x"
  kill -TERM "$SERVER_PID"
  status=0
  wait "$SERVER_PID" || status=$?
  SERVER_PID=""
  check "round $round: the server exits cleanly (status $status)" test "$status" -eq 0
  if [ -n "$CLIENT_PID" ]; then
    kill "$CLIENT_PID" 2>/dev/null || true
    wait "$CLIENT_PID" 2>/dev/null || true
    CLIENT_PID=""
  fi
  kill "$PAINTER_PID" 2>/dev/null || true
  wait "$PAINTER_PID" 2>/dev/null || true
  PAINTER_PID=""
  if [ "$status" -ne 0 ]; then tail -n 30 "$WORK/server.out"; fi
  mv "$WORK/server.out" "$WORK/server-$round.out"
done
finish
