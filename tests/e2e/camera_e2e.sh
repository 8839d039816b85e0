#!/usr/bin/env bash
# The camera end to end: the real server on its own headless desktop, the lensway daemon on a
# PipeWire + WirePlumber session of this test's own (private runtime folder and session bus), and
# the real client playing the headset's camera with its test pattern. An application opening the
# camera (gst-launch-1.0 pipewiresrc) makes the client print camStart 1280x720 and stream; the
# application receives the pattern's colours; when it closes the camera the client prints camStop.
source "$(dirname "$0")/lib.sh"

LENSWAY="$VL_BIN/Lensway/lensway"

start_media_session
"$LENSWAY" --no-v4l2 >"$WORK/lensway.log" 2>&1 & OWN_PIDS+=($!)
for _ in $(seq 100); do grep -q "lensway: ready" "$WORK/lensway.log" && break; sleep 0.1; done
check "lensway listens on its frame socket" test -S "$WORK/runtime/lensway/camera.sock"

camera_listed() { prints corvane-persona-camera pw-cli ls Node; }
check "no camera is listed before a session" not camera_listed

claim_port_block
server_config set controlport "$PORT"
start_server_with_desktop

"$CLIENT" share "127.0.0.1:$PORT" --password "$PASSWORD" --size 1280x720 --camera testpattern \
  --seconds 20 >"$WORK/share.out" 2>"$WORK/share.err" &
CLIENT_PID=$!
OWN_PIDS+=($CLIENT_PID)
for _ in $(seq 150); do camera_listed && break; sleep 0.1; done
check "the session shows the camera" camera_listed
for _ in $(seq 100); do grep -q '^camera port' "$WORK/share.out" && break; sleep 0.1; done
check "the client opened the camera port P+5" grep -q "^camera port $((PORT + 5))$" "$WORK/share.out"

# An application takes 125 frames (5 s) at 1280x720 from the camera.
timeout 60 gst-launch-1.0 -q pipewiresrc target-object=corvane-persona-camera num-buffers=125 ! \
  video/x-raw,format=NV12,width=1280,height=720 ! filesink location="$WORK/camera.nv12" \
  >"$WORK/gst.log" 2>&1
gst_status=$?
check "the application read the camera" test "$gst_status" -eq 0
for _ in $(seq 100); do grep -q '^camStop$' "$WORK/share.out" && break; sleep 0.1; done
check "opening the camera made the client start at 1280x720" grep -q '^camStart 1280x720$' "$WORK/share.out"
check "closing it made the client stop" grep -q '^camStop$' "$WORK/share.out"
check "camStop came after camStart" \
  bash -c "grep -n '^cam' '$WORK/share.out' | tail -n1 | grep -q camStop"

# The last frames the application got carry the pattern's quadrant colours (BT.601 video range).
cat >"$WORK/colours.py" <<'PY'
import sys
w, h = 1280, 720
size = w * h * 3 // 2
data = open(sys.argv[1], "rb").read()
frames = len(data) // size
expected = [(81, 90, 240), (145, 54, 34), (41, 240, 110), (210, 16, 146)]
centres = [(w // 4, h // 4), (3 * w // 4, h // 4), (w // 4, 3 * h // 4), (3 * w // 4, 3 * h // 4)]
def colour(frame, x, y):
    base = frame * size
    uv = base + w * h + (y // 2) * w + (x // 2) * 2
    return data[base + y * w + x], data[uv], data[uv + 1]
matching = 0
for f in range(frames):
    if all(all(abs(a - b) <= 12 for a, b in zip(colour(f, x, y), e))
           for (x, y), e in zip(centres, expected)):
        matching += 1
print(f"frames {frames} pattern {matching}")
PY
result=$(python3 "$WORK/colours.py" "$WORK/camera.nv12")
echo "$result"
check "the application got 125 whole frames" grep -q '^frames 125 ' <<<"$result"
pattern=$(sed -n 's/.* pattern \([0-9]*\)$/\1/p' <<<"$result")
check "the application saw the client's pattern ($pattern frames)" test "${pattern:-0}" -ge 10

wait "$CLIENT_PID" || true
cat "$WORK/share.out"
sent=$(sed -n 's/^camera frames sent \([0-9]*\)$/\1/p' "$WORK/share.out")
check "the client streamed camera frames ($sent)" test "${sent:-0}" -ge 10
stop_server
check "the session's end hid the camera" not camera_listed
grep -E "CamServer|Camera server" "$WORK/server.out" | head -n 8
if [ "$FAILURES" -ne 0 ]; then
  echo "--- lensway:"; cat "$WORK/lensway.log"
  echo "--- server (camera):"; grep -iE "cam|persona|notif|bus" "$WORK/server.out" | head -n 40
fi
finish
