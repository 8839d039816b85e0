#!/usr/bin/env bash
# A client that vanishes mid-session without a word (its process stopped: no close, no more
# acknowledgements) while it holds a key and a mouse button down: the server notices from the
# unacknowledged keepalive long before the idle time-out, ends the session through its one
# teardown, releases what was held, and takes the virtual display away. xev and xrandr witness.
source "$(dirname "$0")/lib.sh"

private_server_settings
# A keepalive every second: the loss shows 20 s (the transport's limit) after it.
start_server_with_desktop --keepalive-ms 1000
export DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY
xset r off  # a held key stays one press, not a stream of repeats

xev -geometry 600x400+100+100 -name vl-loss-witness >"$WORK/xev.out" 2>&1 &
XEV_PID=$!
CLIENT_PID=""
trap 'kill "$XEV_PID" 2>/dev/null || true; [ -n "$CLIENT_PID" ] && { kill -CONT "$CLIENT_PID"; kill "$CLIENT_PID"; } 2>/dev/null; cleanup' EXIT
for _ in $(seq 100); do xdotool search --name '^vl-loss-witness$' >/dev/null 2>&1 && break; sleep 0.05; done

# A press in the witness (which moves onto the virtual display) and a key held by its code.
cat >"$WORK/script.jsonl" <<'JSON'
{"at": 1.5, "type": "mouseEvent", "message": {"shareId": "$main", "button": 0, "kind": 0, "horzPosition": 0.5, "vertPosition": 0.5}}
{"at": 1.6, "type": "mouseEvent", "message": {"shareId": "$main", "button": 0, "kind": 1, "horzPosition": 0.5, "vertPosition": 0.5}}
{"at": 1.8, "type": "text", "message": {"shareId": "$main", "keyCode": 4, "characters": "", "modifierFlags": 0, "isKeyDown": true}}
JSON
"$CLIENT" share "127.0.0.1:$PORT" --password "$PASSWORD" --size 1280x720@30 --seconds 300 \
  --input "$WORK/script.jsonl" >"$WORK/share.out" 2>"$WORK/share.err" &
CLIENT_PID=$!
for _ in $(seq 100); do grep -q '^display ' "$WORK/share.out" && break; sleep 0.1; done
sleep 3
check "the virtual display is up" bash -c "xrandr --query | grep -q ' 1280x720+'"
check "the button is down in the witness" grep -q "ButtonPress event" "$WORK/xev.out"
check "the key is down in the witness" grep -q "KeyPress event" "$WORK/xev.out"
# The last key event says whether the key is down.
last_key() { grep -oE '^Key(Press|Release) event' "$WORK/xev.out" | tail -n1; }
check "the button was not released yet" bash -c "! grep -q 'ButtonRelease event' '$WORK/xev.out'"
check "the key was not released yet" test "$(last_key)" = "KeyPress event"

kill -STOP "$CLIENT_PID"
lost=$(date +%s.%N)
ended=""
for _ in $(seq 600); do
  if grep -q "Connection failed on port $PORT" "$WORK/server.out"; then ended=$(date +%s.%N); break; fi
  sleep 0.1
done
check "the server noticed the lost client" test -n "$ended"
[ -n "$ended" ] && echo "time from the client's loss to the session's end: $(awk "BEGIN {print $ended - $lost}") s"
grep "Connection failed on port $PORT" "$WORK/server.out" | head -n1
check "it was the unacknowledged keepalive, not the idle time-out" \
  grep -q "peer stopped acknowledging" "$WORK/server.out"
for _ in $(seq 50); do xrandr --query | grep -q ' 1280x720+' || break; sleep 0.1; done
sleep 0.5
check "the virtual display is gone" bash -c "! xrandr --query | grep -q ' 1280x720+'"
check "the held button was released" grep -q "ButtonRelease event" "$WORK/xev.out"
check "the held key was released" test "$(last_key)" = "KeyRelease event"
check "the release was reported" grep -q "releaseHeldInput: releasing" "$WORK/server.out"

kill -CONT "$CLIENT_PID"; kill "$CLIENT_PID" 2>/dev/null || true; wait "$CLIENT_PID" 2>/dev/null || true
CLIENT_PID=""
check "server shuts down cleanly on SIGTERM" stop_server
finish
