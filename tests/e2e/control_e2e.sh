#!/usr/bin/env bash
# The real server and the real client over QUIC on 127.0.0.1: authentication answers, a second
# device, keepalives, the speed test and a clean shutdown.
source "$(dirname "$0")/lib.sh"

private_server_settings
server_config set machinename e2e-host
start_server --keepalive-ms 100

out=$("$CLIENT" connect "127.0.0.1:$PORT" --password 'Ez3Kq$vn' --device-id dev-A) || true
check "default password accepted with id|name" grep -Eq '^ret200 [0-9A-F-]{36}\|e2e-host$' <<<"$out"

status=0; out=$("$CLIENT" connect "127.0.0.1:$PORT" --password wrong --device-id dev-A) || status=$?
check "wrong password answered ret400" grep -q '^ret400 ' <<<"$out"
check "wrong password exit status 4" test "$status" -eq 4

server_config set password 'n3w pass'
out=$("$CLIENT" connect "127.0.0.1:$PORT" --password 'n3w pass' --device-id dev-A) || true
check "stored password accepted" grep -q '^ret200 ' <<<"$out"

# dev-A holds its session for 2 s while dev-B tries.
"$CLIENT" connect "127.0.0.1:$PORT" --password 'n3w pass' --device-id dev-A --hold 2 \
  >"$WORK/holder.out" 2>&1 &
holder=$!
sleep 0.7
status=0; out=$("$CLIENT" connect "127.0.0.1:$PORT" --password 'n3w pass' --device-id dev-B) || status=$?
check "second device answered retBusy" grep -q '^retBusy ' <<<"$out"
wait $holder
check "first device kept its session and got keepalives" \
  grep -Eq '^keepalives [1-9][0-9]+$' "$WORK/holder.out"

out=$("$CLIENT" connect "127.0.0.1:$PORT" --password 'n3w pass' --device-id dev-B) || true
check "after the first device leaves, another is accepted" grep -q '^ret200 ' <<<"$out"

out=$("$CLIENT" speedtest "127.0.0.1:$PORT" --password 'n3w pass' --device-id dev-C 2>/dev/null) || true
echo "$out"
check "speed test delivers 245339 packets and 1000000000 bytes" \
  grep -q '^packets 245339 bytes 1000000000 ' <<<"$out"

# A client holding its session learns at once that the server stopped, not by time-out.
"$CLIENT" connect "127.0.0.1:$PORT" --password 'n3w pass' --device-id dev-D --hold 60 \
  >"$WORK/stopped.out" 2>&1 &
holder=$!
check "a holding client is connected" eventually grep -q '^ret200 ' "$WORK/stopped.out"
check "server shuts down cleanly on SIGTERM" stop_server
stopped_at=$(date +%s)
status=0; wait $holder || status=$?
check "the holding client learns of the stop within 5 s" test $(($(date +%s) - stopped_at)) -le 5
check "it says the server closed the connection (status 5)" \
  bash -c "grep -q 'the server closed the connection' '$WORK/stopped.out' && test $status -eq 5"
check "no crash report in the log" bash -c "! grep -Eq 'AddressSanitizer|terminate called' '$WORK/server.out'"
finish
