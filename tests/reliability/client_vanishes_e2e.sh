#!/usr/bin/env bash
# A client vanishes in the middle of a full session: it holds a key and a mouse button down, shows
# an extra display, and streams system audio, its microphone and its camera. First its process is
# killed; then, in a second session, the network under it silently drops every datagram. Each time
# the server notices from the unacknowledged keepalive (not the 10-minute idle time-out), ends the
# session through its one teardown and puts the desktop back: held input released, both displays
# gone, the window where it was, the default output back, microphone and camera hidden. The script
# runs in a network namespace of its own, where the drop is a pair of routing rules.
if [ -z "${VL_IN_NETNS:-}" ]; then
  export VL_IN_NETNS=1
  if [ "$(id -u)" -eq 0 ]; then exec unshare --net -- bash "$0" "$@"; fi
  exec unshare --net --map-root-user -- bash "$0" "$@"
fi
set -euo pipefail
ip link set lo up
# The loopback's own rule goes last, so that the drop's rules can come before it.
ip rule add pref 100 lookup local
ip rule del pref 0

source "$(dirname "$0")/lib.sh"

LENSWAY="$VL_BIN/Lensway/lensway"
start_media_session
"$LENSWAY" --no-v4l2 >"$WORK/lensway.log" 2>&1 &
OWN_PIDS+=($!)
eventually grep -q "lensway: ready" "$WORK/lensway.log"

private_server_settings
# A keepalive every second: the loss shows 20 s (the transport's limit) after it. KEEPALIVE_MS=30000
# measures the shipped interval.
start_server_with_desktop --keepalive-ms "${KEEPALIVE_MS:-1000}"
export PULSE_SERVER="unix:$WORK/runtime/vantrel-link-sound/native"
pactl info >/dev/null
pactl load-module module-null-sink sink_name=desk_speakers >/dev/null
pactl set-default-sink desk_speakers

export DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY
xset r off  # a held key stays one press, not a stream of repeats
xev -geometry 600x400+100+100 -name vl-vanish-witness >"$WORK/xev.out" 2>&1 &
OWN_PIDS+=($!)
witness() { xdotool search --name '^vl-vanish-witness$' 2>/dev/null | head -n1; }
witness_found() { test -n "$(witness)"; }
eventually witness_found
WINDOW=$(witness)
position() { xdotool getwindowgeometry "$WINDOW" 2>/dev/null | sed -n 's/ *Position: \([0-9]*,[0-9]*\).*/\1/p'; }
placed() { test -n "$(position)"; }
eventually placed
HOME_POSITION=$(position)

tone_wav "$WORK/tone.wav" 1
# A press in the witness and a key held by its code.
cat >"$WORK/script.jsonl" <<'JSON'
{"at": 1.5, "type": "mouseEvent", "message": {"shareId": "$main", "button": 0, "kind": 0, "horzPosition": 0.5, "vertPosition": 0.5}}
{"at": 1.6, "type": "mouseEvent", "message": {"shareId": "$main", "button": 0, "kind": 1, "horzPosition": 0.5, "vertPosition": 0.5}}
{"at": 1.8, "type": "text", "message": {"shareId": "$main", "keyCode": 4, "characters": "", "modifierFlags": 0, "isKeyDown": true}}
JSON

virtual_displays() { xrandr --query | grep -c ' 1280x720+' || true; }
default_sink() { pactl get-default-sink 2>/dev/null; }
mic_listed() { prints corvane_mic pactl list short sources; }
camera_listed() { prints corvane-persona-camera pw-cli ls Node; }
presses() { grep -c "$1 event" "$WORK/xev.out" || true; }
# Conditions polled while the session starts and ends.
displays_are() { [ "$(virtual_displays)" -eq "$1" ]; }
sink_is() { [ "$(default_sink)" = "$1" ]; }
more_presses() { [ "$(presses "$1")" -gt "$2" ]; }
ends() { grep -c "Connection failed on port $PORT" "$WORK/server.out" || true; }
restored() {
  [ "$(virtual_displays)" -eq 0 ] && [ "$(default_sink)" = desk_speakers ] &&
    ! mic_listed && ! camera_listed && [ "$(position)" = "$HOME_POSITION" ] &&
    [ "$(presses ButtonRelease)" -gt "$released_buttons" ] &&
    [ "$(presses KeyRelease)" -gt "$released_keys" ]
}

# vanish NAME HOW: a full session, then the client vanishes (HOW: kill or drop).
vanish() {
  local name=$1 how=$2 ended_before lost ended restored_at pressed_buttons pressed_keys
  ended_before=$(ends)
  pressed_buttons=$(presses ButtonPress)
  pressed_keys=$(presses KeyPress)
  released_buttons=$(presses ButtonRelease)
  released_keys=$(presses KeyRelease)
  share "$name" 300 --extra 1280x720 --audio "$WORK/$name.wav" --mic "$WORK/tone.wav" \
    --camera testpattern --input "$WORK/script.jsonl"
  check "$name: both displays are up" eventually displays_are 2
  check "$name: system audio streams" grows audio_packets "$name"
  check "$name: Corvane Audio is the default output" eventually sink_is corvane_audio
  check "$name: the microphone is shown" eventually mic_listed
  check "$name: the camera is shown" eventually camera_listed
  check "$name: the button is held" eventually more_presses ButtonPress "$pressed_buttons"
  check "$name: the key is held" eventually more_presses KeyPress "$pressed_keys"
  check "$name: the witness left its place" test "$(position)" != "$HOME_POSITION"
  check "$name: nothing was released yet" test "$(presses ButtonRelease)" -eq "$released_buttons"

  if [ "$how" = kill ]; then
    kill -KILL "$CLIENT_PID"
    wait "$CLIENT_PID" 2>/dev/null || true
  else
    ip rule add pref 10 ipproto udp dport "$PORT-$((PORT + 9))" blackhole
    ip rule add pref 11 ipproto udp sport "$PORT-$((PORT + 9))" blackhole
  fi
  lost=$(date +%s.%N)
  ended="" restored_at=""
  for _ in $(seq 650); do
    if [ "$(ends)" -gt "$ended_before" ]; then ended=$(date +%s.%N); break; fi
    sleep 0.1
  done
  for _ in $(seq 200); do
    if restored; then restored_at=$(date +%s.%N); break; fi
    sleep 0.1
  done
  check "$name: the server noticed within 60 s" test -n "$ended"
  check "$name: the desktop was put back" test -n "$restored_at"
  [ -n "$ended" ] && echo "$name: loss to session end $(awk "BEGIN {print $ended - $lost}") s"
  [ -n "$restored_at" ] && echo "$name: loss to desktop restored $(awk "BEGIN {print $restored_at - $lost}") s"
  check "$name: both displays are gone" test "$(virtual_displays)" -eq 0
  check "$name: the default output is back" test "$(default_sink)" = desk_speakers
  check "$name: the microphone is hidden" not mic_listed
  check "$name: the camera is hidden" not camera_listed
  check "$name: the witness is back in its place" test "$(position)" = "$HOME_POSITION"
  check "$name: the held button was released" test "$(presses ButtonRelease)" -gt "$released_buttons"
  check "$name: the held key was released" test "$(presses KeyRelease)" -gt "$released_keys"

  if [ "$how" = drop ]; then
    ip rule del pref 10
    ip rule del pref 11
  fi
  kill -KILL "$CLIENT_PID" 2>/dev/null || true
  wait "$CLIENT_PID" 2>/dev/null || true
  CLIENT_PID=""
}

vanish killed kill
vanish dropped drop
check "it was the unacknowledged keepalive both times, never the idle time-out" \
  test "$(grep -c "peer stopped acknowledging" "$WORK/server.out" || true)" -ge 2

# The next client is served as if nothing happened.
share after 6
check "the next session streams" grows frames after
wait "$CLIENT_PID" || true
CLIENT_PID=""
check "server shuts down cleanly on SIGTERM" stop_server
[ "$FAILURES" -ne 0 ] && grep -E "warning|error" "$WORK/server.out" | tail -n 30
finish
