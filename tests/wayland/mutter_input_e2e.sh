#!/usr/bin/env bash
# Input and clipboard end to end on a GNOME Wayland session: the real server on a private headless
# Mutter whose only monitor is the session's virtual one, the real client playing a timed input
# script, and the GTK witness window on that monitor as the Wayland program on the other side. The
# witness sees the click where it was aimed, keys typed by code and by text, and a pixel scroll;
# the client's text lands on its clipboard, and what it copies (on a C key from the client) comes
# back to the client.
source "$(dirname "$0")/../e2e/lib.sh"
source "$(dirname "$0")/mutter_lib.sh"
start_private_mutter

claim_port_block
server_config set controlport "$PORT" >/dev/null
launch_server

mkdir -p "$WORK/clips"
printf 'Sent from the headset ✓' >"$WORK/from-client.txt"
desktop_copy='Copied on Wayland: Grüße €'
# Positions are fractions of the 1280x720 display; the witness fills it once it is up (in about a
# second, several on a busy machine). A click gives it the focus, so everything after goes to it;
# clicks at 4, 6 and 8 s leave a slow start time to catch up.
cat >"$WORK/script.jsonl" <<'JSON'
{"at": 4.0, "type": "mouseEvent", "message": {"shareId": "$main", "button": 0, "kind": 0, "horzPosition": 0.25, "vertPosition": 0.5}}
{"at": 4.1, "type": "mouseEvent", "message": {"shareId": "$main", "button": 0, "kind": 1, "horzPosition": 0.25, "vertPosition": 0.5}}
{"at": 4.2, "type": "mouseEvent", "message": {"shareId": "$main", "button": 0, "kind": 3, "horzPosition": 0.25, "vertPosition": 0.5}}
{"at": 6.0, "type": "mouseEvent", "message": {"shareId": "$main", "button": 0, "kind": 0, "horzPosition": 0.25, "vertPosition": 0.5}}
{"at": 6.1, "type": "mouseEvent", "message": {"shareId": "$main", "button": 0, "kind": 1, "horzPosition": 0.25, "vertPosition": 0.5}}
{"at": 6.2, "type": "mouseEvent", "message": {"shareId": "$main", "button": 0, "kind": 3, "horzPosition": 0.25, "vertPosition": 0.5}}
{"at": 8.0, "type": "mouseEvent", "message": {"shareId": "$main", "button": 0, "kind": 0, "horzPosition": 0.25, "vertPosition": 0.5}}
{"at": 8.1, "type": "mouseEvent", "message": {"shareId": "$main", "button": 0, "kind": 1, "horzPosition": 0.25, "vertPosition": 0.5}}
{"at": 8.2, "type": "mouseEvent", "message": {"shareId": "$main", "button": 0, "kind": 3, "horzPosition": 0.25, "vertPosition": 0.5}}
{"at": 8.6, "type": "text", "message": {"shareId": "$main", "keyCode": 4, "characters": "zq!", "modifierFlags": 0, "isKeyDown": true}}
{"at": 8.7, "type": "text", "message": {"shareId": "$main", "keyCode": 4, "characters": "", "modifierFlags": 0, "isKeyDown": false}}
{"at": 9.0, "type": "scroll", "message": {"shareId": "$main", "horzPosition": 0.25, "vertPosition": 0.5, "direction": 1, "delta": 120}}
{"at": 9.5, "type": "text", "message": {"shareId": "$main", "keyCode": 6, "characters": "", "modifierFlags": 0, "isKeyDown": true}}
{"at": 9.6, "type": "text", "message": {"shareId": "$main", "keyCode": 6, "characters": "", "modifierFlags": 0, "isKeyDown": false}}
JSON

status=0
"$CLIENT" share "127.0.0.1:$PORT" --password "$PASSWORD" --size 1280x720@30 --seconds 12 \
  --input "$WORK/script.jsonl" --clipboard-send "$WORK/from-client.txt:text" \
  --clipboard-out "$WORK/clips" >"$WORK/share.out" 2>"$WORK/share.err" &
client=$!
eventually prints '1280x720 at 0,0' monitors || echo "no virtual monitor: $(monitors)"
start_witness 40 90 160 --clipboard "$desktop_copy"
until_true 200 witness_said "size 1280 720" || echo "the witness did not fill the monitor"
wait $client || status=$?
grep -E '^(display|clipboard)' "$WORK/share.out" || true
echo "witness:"; grep -Ev '^(motion|configure|size)' "$WORK/witness.log" | head -n 20

check "share exits 0" test "$status" -eq 0
check "the click landed where it was aimed" witness_said "button 1 320 360"
check "a key by code reached the witness" witness_said "key z U+007A"
check "text by keysym reached the witness" witness_said "key exclam U+0021"
check "the scroll arrived as a smooth scroll" grep -Eq '^scroll 0\.0 -?[1-9]' "$WORK/witness.log"
check "the client's text is on the Wayland clipboard" witness_said "clipboard 23 Sent from the headset ✓"
check "the witness copied on the client's C key" witness_said "copied"
texts=$(grep -l . "$WORK"/clips/*.text 2>/dev/null || true)
check "the Wayland copy reached the client once" test "$(echo "$texts" | grep -c .)" -eq 1
check "with the copied text" test "$(cat $texts 2>/dev/null)" = "$desktop_copy"
check "server shuts down cleanly on SIGTERM" stop_server
check "no crash report in the log" bash -c "! grep -Eq 'AddressSanitizer|terminate called' '$WORK/server.out'"
finish
