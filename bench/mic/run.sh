#!/usr/bin/env bash
# Microphone bench: mouth to recorder. The real server on its headless desktop with its sound
# server and microphone host; the real client streams a WAV of 50 clicks (one every 200 ms) as the
# headset's microphone; a recorder on the desktop (parec, 10 ms fragments) timestamps each click's
# arrival. A click leaves the client when its sample is handed to the encoder: the client's
# micStart time (monotonic clock) plus the click's offset in the file. Reports the median and p99
# of arrival - departure beside the floor (10 ms frame + 5 ms codec delay + the recorder's 10 ms
# fragment), and the CPU of server plus host while streaming, as % of one core.
#   bench/mic/run.sh BUILD_DIR
set -euo pipefail
VL_BIN=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)
export VL_BIN
source "$(dirname "$0")/../../tests/e2e/lib.sh"

private_server_settings
start_server_with_desktop
export PULSE_SERVER="unix:$WORK/runtime/vantrel-link-sound/native"
HOST_PID=$(for _ in $(seq 100); do pgrep -P "$SERVER_PID" -f "/corvane-mic-host$" && break; sleep 0.05; done)

python3 - "$WORK/clicks.wav" <<'PY'
import math, struct, sys
lead, every, clicks, rate = 0.5, 0.2, 50, 48000
frames = int((lead + every * clicks + 1) * rate)
x = [0.0] * frames
for k in range(clicks):
    start = int((lead + k * every) * rate)
    for i in range(240):  # 5 ms of 2 kHz
        x[start + i] = 0.5 * math.sin(2 * math.pi * 2000 * i / rate)
data = b"".join(struct.pack("<2f", v, v) for v in x)
header = b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " + \
    struct.pack("<IHHIIHH", 16, 3, 2, rate, rate * 8, 8, 32) + b"data" + struct.pack("<I", len(data))
open(sys.argv[1], "wb").write(header + data)
PY

"$CLIENT" share "127.0.0.1:$PORT" --password "$PASSWORD" --size 1280x720@30 --seconds 16 \
  --mic "$WORK/clicks.wav" >"$WORK/client.out" 2>"$WORK/client.err" &
CLIENT_PID=$!
for _ in $(seq 200); do pactl list short sources | grep -q corvane_mic && break; sleep 0.05; done

python3 - "$WORK" "$SERVER_PID" "$HOST_PID" <<'PY'
import os, re, statistics, subprocess, sys, time
work, server, host = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
def ticks(pid):
    f = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return int(f[11]) + int(f[12])
rec = subprocess.Popen(["parec", "--device=corvane_mic", "--format=float32le", "--rate=48000",
                        "--channels=2", "--latency-msec=10", "--raw"], stdout=subprocess.PIPE)
chunk = 480 * 8
arrivals, quiet, pos = [], 48000, 0
cpu_start = None
deadline = time.monotonic() + 20
import struct
while time.monotonic() < deadline and len(arrivals) < 50:
    data = rec.stdout.read(chunk)
    now = time.monotonic()
    if not data:
        break
    if cpu_start is None:
        cpu_start = (now, ticks(server) + ticks(host))
    left = struct.unpack("<%df" % (len(data) // 4), data)[0::2]
    for i, v in enumerate(left):
        if abs(v) > 0.05 and quiet > 4800:
            arrivals.append(now - (len(left) - i) / 48000)
        quiet = 0 if abs(v) > 0.05 else quiet + 1
    pos += len(left)
cpu_end = (time.monotonic(), ticks(server) + ticks(host))
rec.terminate(); rec.wait()
out = open(work + "/client.out").read()
m = re.search(r"micStart at [0-9.]+ \(monotonic ([0-9.]+)\)", out)
if not m or not arrivals:
    print("mic bench: no clicks measured (micStart seen: %s, clicks: %d)" % (bool(m), len(arrivals)))
    sys.exit(1)
t0 = float(m.group(1))
latencies = []
for a in arrivals:
    k = round((a - t0 - 0.5) / 0.2 - 0.25)  # the latest click that left before it arrived
    if 0 <= k < 50:
        latencies.append((a - (t0 + 0.5 + 0.2 * k)) * 1000)
latencies.sort()
hz = os.sysconf("SC_CLK_TCK")
cpu = 100 * (cpu_end[1] - cpu_start[1]) / hz / (cpu_end[0] - cpu_start[0])
p99 = latencies[min(len(latencies) - 1, int(0.99 * len(latencies)))]
print("mic mouth-to-recorder over %d clicks: median %.1f ms, p99 %.1f ms (floor 25 ms: 10 ms "
      "frame + 5 ms codec + 10 ms recorder fragment; ratio median/floor %.2f)"
      % (len(latencies), statistics.median(latencies), p99, statistics.median(latencies) / 25))
print("mic CPU of server + host while streaming: %.1f%% of one core" % cpu)
PY
wait "$CLIENT_PID" || true
stop_server || true
