#!/usr/bin/env bash
# Text end to end on GNOME Wayland: the real server on a private headless GNOME Shell running our
# extension, whose only monitor is the session's virtual one, the real client playing a timed
# input script, and the GTK witness's focused text field on that monitor. Text the US layout has no
# key for ("€", "Ä") reaches the field through the shell, in order with the keys typed around it.
source "$(dirname "$0")/../e2e/lib.sh"
source "$(dirname "$0")/mutter_lib.sh"
start_private_shell

claim_port_block
server_config set controlport "$PORT" >/dev/null
launch_server

# The shell starts in its overview: Escape leaves it. Then a click on the field, in case the
# witness came up late, and text and keys back to back: "x", "€Ä", "y", Backspace, "ö".
cat >"$WORK/script.jsonl" <<'JSON'
{"at": 4.0, "type": "text", "message": {"shareId": "$main", "keyCode": 41, "characters": "", "modifierFlags": 0, "isKeyDown": true}}
{"at": 4.1, "type": "text", "message": {"shareId": "$main", "keyCode": 41, "characters": "", "modifierFlags": 0, "isKeyDown": false}}
{"at": 5.0, "type": "mouseEvent", "message": {"shareId": "$main", "button": 0, "kind": 0, "horzPosition": 0.5, "vertPosition": 0.5}}
{"at": 5.1, "type": "mouseEvent", "message": {"shareId": "$main", "button": 0, "kind": 1, "horzPosition": 0.5, "vertPosition": 0.5}}
{"at": 5.2, "type": "mouseEvent", "message": {"shareId": "$main", "button": 0, "kind": 3, "horzPosition": 0.5, "vertPosition": 0.5}}
{"at": 6.0, "type": "text", "message": {"shareId": "$main", "keyCode": 27, "characters": "x", "modifierFlags": 0, "isKeyDown": true}}
{"at": 6.0, "type": "text", "message": {"shareId": "$main", "keyCode": 0, "characters": "€Ä", "modifierFlags": 0, "isKeyDown": true}}
{"at": 6.0, "type": "text", "message": {"shareId": "$main", "keyCode": 28, "characters": "y", "modifierFlags": 0, "isKeyDown": true}}
{"at": 6.0, "type": "text", "message": {"shareId": "$main", "keyCode": 42, "characters": "", "modifierFlags": 0, "isKeyDown": true}}
{"at": 6.0, "type": "text", "message": {"shareId": "$main", "keyCode": 42, "characters": "", "modifierFlags": 0, "isKeyDown": false}}
{"at": 6.0, "type": "text", "message": {"shareId": "$main", "keyCode": 0, "characters": "ö", "modifierFlags": 0, "isKeyDown": true}}
JSON

status=0
"$CLIENT" share "127.0.0.1:$PORT" --password "$PASSWORD" --size 1280x720@30 --seconds 9 \
  --input "$WORK/script.jsonl" >"$WORK/share.out" 2>"$WORK/share.err" &
client=$!
eventually prints '1280x720 at 0,0' monitors || echo "no virtual monitor: $(monitors)"
start_witness 40 90 160 --entry
wait $client || status=$?
echo "witness:"; grep -Ev '^(motion|configure|size)' "$WORK/witness.log" | head -n 20

# Every text the field held, from the first "x" on.
field_texts() { sed -n 's/^text //p' "$WORK/witness.log" | sed -n '/^x$/,$p' | tr '\n' '|'; }
check "share exits 0" test "$status" -eq 0
check "the server typed through the shell" not grep -q 'Windows cannot be moved' "$WORK/server.out"
check "the field went through the text in the order it was typed" \
  test "$(field_texts)" = "x|x€Ä|x€Äy|x€Ä|x€Äö|"
check "server shuts down cleanly on SIGTERM" stop_server
check "no crash report in the log" bash -c "! grep -Eq 'AddressSanitizer|terminate called' '$WORK/server.out'"
finish
