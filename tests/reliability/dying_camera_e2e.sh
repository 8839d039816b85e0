#!/usr/bin/env bash
# The camera daemon (lensway) is killed during a live session with the headset's camera, and
# started again as its service manager would. The server survives it and shows the camera on the
# new daemon within the same session, and the next session finds it too: each time an application
# opening the camera makes the client start its camera. PipeWire and WirePlumber on a
# private runtime folder and session bus, with gst-launch-1.0 as the application.
source "$(dirname "$0")/lib.sh"

LENSWAY="$VL_BIN/Lensway/lensway"
LENSWAY_PID=""
OWN_PIDS=()
stop_own() {
  local pid
  for pid in "${OWN_PIDS[@]}" $LENSWAY_PID; do kill "$pid" 2>/dev/null || true; done
  for pid in "${OWN_PIDS[@]}" $LENSWAY_PID; do wait "$pid" 2>/dev/null || true; done
  OWN_PIDS=()
}

start_media_session

start_lensway() {
  "$LENSWAY" --no-v4l2 >>"$WORK/lensway.log" 2>&1 &
  LENSWAY_PID=$!
  eventually grep -q "lensway: ready" "$WORK/lensway.log"
}
start_lensway
camera_listed() { prints corvane-persona-camera pw-cli ls Node; }
# open_camera FRAMES: an application takes that many frames from the camera.
open_camera() {
  timeout 30 gst-launch-1.0 -q pipewiresrc target-object=corvane-persona-camera num-buffers="$1" ! \
    video/x-raw,format=NV12,width=1280,height=720 ! fakesink >>"$WORK/gst.log" 2>&1
}
cam_starts() { grep -c '^camStart ' "$WORK/$1.out" || true; }
cam_starts_reach() { [ "$(cam_starts "$1")" -ge "$2" ]; }

claim_port_block
server_config set controlport "$PORT"
start_server_with_desktop
start_painter

# The camera's connection of session N is up (a format change before it reaches no client).
cam_ready() { [ "$(grep -c "CamServer: connection READY" "$WORK/server.out")" -ge "$1" ]; }
# session NAME N: a session with the headset's camera; an application reads the camera and the
# client is asked to start it.
session() {
  share "$1" 40 --camera testpattern
  check "session $2 streams" grows frames "$1"
  check "session $2 shows the camera" eventually camera_listed
  check "session $2's camera connection is up" eventually cam_ready "$2"
  check "an application reads the camera in session $2" open_camera 10
  check "the client started its camera for it" eventually grep -q '^camStart 1280x720$' "$WORK/$1.out"
}
session first 1

# lensway dies mid-session and is started again, as its service manager would.
kill -KILL "$LENSWAY_PID"; wait "$LENSWAY_PID" 2>/dev/null || true
: >"$WORK/lensway.log"
check "the camera is gone with its daemon" eventually not camera_listed
check "lensway starts again" start_lensway
check "the server is still running" kill -0 "$SERVER_PID"
# Within the same session the server finds the new daemon and shows the camera there.
check "the session shows the camera again" eventually camera_listed
check "the server said why" eventually logged "The camera daemon answers without the camera: showing it again"
check "an application reads the camera again in the same session" open_camera 10
check "the client started its camera again" eventually cam_starts_reach first 2
kill -INT "$CLIENT_PID" 2>/dev/null || true
status=0
wait "$CLIENT_PID" || status=$?
CLIENT_PID=""
check "the session ends without an error at the client" test "$status" -eq 0

# The next session finds the new daemon.
session second 2
kill -INT "$CLIENT_PID" 2>/dev/null || true
wait "$CLIENT_PID" || true
CLIENT_PID=""
check "server shuts down cleanly on SIGTERM" stop_server
if [ "$FAILURES" -ne 0 ]; then
  grep -E "Cam|camera|lensway" "$WORK/server.out" | tail -n 20; cat "$WORK/live.out"; tail -c 300 "$WORK/live.err"
fi
finish
