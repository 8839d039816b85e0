#!/usr/bin/env bash
# Benchmarks the desktop viewer against the real server on this machine (a few minutes):
# - glass to glass through the viewer at 1280x720@60 and 1920x1080@30: the desktop's colour
#   changes (black/white root window, timed once xsetroot has drawn it) until the viewer presents
#   a picture whose centre shows the new colour (--report-present), median and p99; beside it, in
#   the same run and from the same server, the command-line client decoding the same kind of
#   change (--report-pictures), and the session benchmark's decode-only figure;
# - viewer CPU at 1920x1080@30 on a desktop that changes every frame, beside ffmpeg decoding a
#   recording of the same stream at the same rate.
# Usage: bench/viewer/run.sh [BUILD_DIR] [TOGGLES] [BEFORE_BUILD_DIR]   (default: build, 40
# colour changes, about a second apart; BEFORE_BUILD_DIR: a build of an earlier version whose
# viewer is measured beside this one, in the same run). VL_BENCH_PORT: the server's control port
# (default: a free block of ten). VL_BENCH_CLIENT: the command-line client to measure beside the
# viewer (default: this build's).
set -euo pipefail
BUILD=$(cd "${1:-build}" && pwd)
TOGGLES=${2:-40}
BEFORE_VIEWER=${3:+$(cd "$3" && pwd)/client/viewer/vantrel-link-viewer}
export VL_BIN=$BUILD
source "$(dirname "$0")/../../tests/e2e/lib.sh"
VIEWER="$BUILD/client/viewer/vantrel-link-viewer"
[ -x "$VIEWER" ] || { echo "build vantrel-link-viewer first"; exit 1; }
PIDS=()
trap 'for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; cleanup' EXIT
echo "== $(date -u +%FT%TZ) on $(nproc) CPUs"

if [ -x "$BUILD/bench/bench_session" ]; then
  echo "-- command-line client, decode only (bench_session latency $TOGGLES)"
  "$BUILD/bench/bench_session" latency "$TOGGLES" 2>/dev/null | grep RESULT || true
else
  echo "-- (bench_session not built: cmake -DVANTREL_BENCH=ON, target bench_session)"
fi

if [ -n "${VL_BENCH_PORT:-}" ]; then
  PORT=$VL_BENCH_PORT
  export XDG_CONFIG_HOME="$WORK/xdg-config" XDG_DATA_HOME="$WORK/xdg-data"
  server_config set controlport "$PORT"
else
  private_server_settings
fi
# An earlier server may have no frame trace.
if "$SERVER" --help 2>&1 | grep -q -- --frame-trace; then
  start_server_with_desktop --frame-trace "$WORK/frames.trace"
else
  start_server_with_desktop
fi
desk() { DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY "$@"; }
exec 9>"$WORK/display-b"
Xvfb -displayfd 9 -screen 0 2048x1200x24 -nolisten tcp >/dev/null 2>&1 &
PIDS+=($!)
for _ in $(seq 200); do [ -s "$WORK/display-b" ] && break; sleep 0.05; done
viewer_side() {
  DISPLAY=":$(cat "$WORK/display-b")" SDL_VIDEODRIVER=x11 SDL_RENDER_DRIVER=software \
    SDL_AUDIODRIVER=dummy "$@"
}

# Glass to glass through one receiver: the viewer (KIND viewer, presentation) or the command-line
# client (KIND client, decoded picture). The change is timed when xsetroot has returned (it syncs
# with the X server, so the new colour is drawn by then), as the session benchmark times its
# square; the figure timed before xsetroot started, which also counts starting that program, is
# printed beside it.
latency() {  # latency WxH@FPS LABEL KIND PROGRAM [OPTIONS...]
  local size=$1 label=$2 kind=$3 bin=$4
  shift 4
  local log="$WORK/present-$size-$label.log" toggles="$WORK/toggles-$size-$label.log"
  desk xsetroot -solid black
  if [ "$kind" = viewer ]; then
    VANTREL_LINK_PASSWORD=$PASSWORD viewer_side exec "$bin" "127.0.0.1:$PORT" \
      --size "$size" --report-present --seconds $((TOGGLES * 2 + 30)) "$@" >"$log" \
      2>"$WORK/viewer-$size.err" &
  else
    "$bin" share "127.0.0.1:$PORT" --password "$PASSWORD" --size "$size" --report-pictures \
      --seconds $((TOGGLES * 2 + 30)) "$@" >"$log" 2>"$WORK/client-$size.err" &
  fi
  local receiver=$!
  PIDS+=($receiver)
  for _ in $(seq 600); do grep -q '^display \|^picture ' "$log" && break; sleep 0.05; done
  sleep 2
  DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY python3 - "$TOGGLES" >"$toggles" <<'PY'
import random, subprocess, sys, time
for i in range(int(sys.argv[1])):
    colour = "white" if i % 2 == 0 else "black"
    t = time.monotonic_ns()
    subprocess.run(["xsetroot", "-solid", colour], check=True)
    print(time.monotonic_ns(), colour, t, flush=True)
    time.sleep(0.9 + random.random() * 0.3)
PY
  sleep 3  # the last change's picture
  kill "$receiver" 2>/dev/null || true
  wait "$receiver" 2>/dev/null || true
  python3 - "$size $label" "$toggles" "$log" <<'PY'
import statistics, sys
size, toggles, log = sys.argv[1:4]
presents, parts = [], []
for line in open(log):
    w = line.split()
    if len(w) >= 6 and w[0] == "present" and w[1] == "display":
        presents.append((int(w[4]), int(w[5]), int(w[3]), int(w[6]) if len(w) >= 8 else int(w[4])))
        if len(w) >= 8:  # arrival → decoded → taken by the main loop → presented
            arrived, presented, decoded, taken = int(w[3]), int(w[4]), int(w[6]), int(w[7])
            parts.append(((decoded - arrived) / 1e6, (taken - decoded) / 1e6,
                          (presented - taken) / 1e6))
    elif len(w) >= 6 and w[0] == "picture" and w[1] == "display":  # N ARRIVED DECODED LUMA
        presents.append((int(w[4]), int(w[5]), int(w[3]), int(w[4])))
changes = [(int(w[0]), w[1], int(w[2])) for w in (line.split() for line in open(toggles))]
lat, own, spawn, missed = [], [], [], 0
# CHANGE ARRIVED DECODED PRESENTED per measured change, for the stage table at the end.
samples = open(log + ".samples", "w")
for i, (t, colour, started) in enumerate(changes):
    # A change never shown before the same colour was set again is missed, not measured.
    limit = changes[i + 2][0] if i + 2 < len(changes) else float("inf")
    seen = next(((when, arrived, decoded) for when, luma, arrived, decoded in presents if when > t and
                 ((colour == "white" and luma > 128) or (colour == "black" and luma < 64))), None)
    if seen is None or seen[0] > limit:
        missed += 1
    else:
        lat.append((seen[0] - t) / 1e6)
        own.append((seen[0] - seen[1]) / 1e6)
        spawn.append((seen[0] - started) / 1e6)
        samples.write(f"{t} {seen[1]} {seen[2]} {seen[0]}\n")
lat.sort()
own.sort()
spawn.sort()
if not lat:
    print(f"RESULT glass to glass {size}: no change seen"); sys.exit(0)
def p99(values):
    return values[min(len(values) - 1, int(round(0.99 * (len(values) - 1))))]
print(f"RESULT glass to glass {size}: median {statistics.median(lat):.1f} ms, "
      f"p99 {p99(lat):.1f} ms (p99/median {p99(lat) / statistics.median(lat):.2f}), "
      f"min {lat[0]:.1f}, max {lat[-1]:.1f} over {len(lat)} changes ({missed} missed); "
      f"arrival to picture: median {statistics.median(own):.1f} ms, p99 {p99(own):.1f} ms; "
      f"timed before xsetroot started: median {statistics.median(spawn):.1f} ms, "
      f"p99 {p99(spawn):.1f} ms")
if parts:
    m = [statistics.median(p[i] for p in parts) for i in range(3)]
    print(f"RESULT viewer stages {size}, medians over {len(parts)} pictures: decode (queue "
          f"included) {m[0]:.1f} ms, waiting for the main loop {m[1]:.1f} ms, upload and "
          f"present {m[2]:.1f} ms")
PY
}

echo "-- colour change on the desktop → the viewer presents it, and the command-line client" \
  "decodes it, from the same server${BEFORE_VIEWER:+ (and an earlier viewer)}"
# The receiving client may come from another build (an earlier one reports no pictures).
REPORTER=${VL_BENCH_CLIENT:-$CLIENT}
CLIENT_REPORTS=$("$REPORTER" 2>&1 | grep -c -- --report-pictures || true)
for size in 1280x720@60 1920x1080@30; do
  if [ -n "$BEFORE_VIEWER" ]; then
    echo "- viewer before $size"
    latency "$size" before viewer "$BEFORE_VIEWER"
  fi
  echo "- viewer $size"
  latency "$size" now viewer "$VIEWER"
  if [ "$CLIENT_REPORTS" -gt 0 ]; then
    echo "- command-line client $size"
    latency "$size" client client "$REPORTER"
    # The viewer also plays the system audio; the client taking it too tells that load apart.
    echo "- command-line client with the system audio $size"
    latency "$size" client-audio client "$REPORTER" --audio "$WORK/audio-$size.wav"
  fi
done

# CPU at 1080p30 with the desktop changing every frame.
flicker() {
  DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY python3 - "$1" <<'PY' &
import subprocess, sys, time
end = time.monotonic() + float(sys.argv[1])
i = 0
while time.monotonic() < end:
    subprocess.run(["xsetroot", "-solid", "#%02x%02x%02x" % (i * 7 % 256, i * 13 % 256, 90)])
    i += 1
    time.sleep(1 / 30)
PY
  FLICKER=$!
}
cpu_of() {  # cpu_of PID → user+system clock ticks
  awk '{print $14 + $15}' "/proc/$1/stat"
}
echo "-- CPU at 1920x1080@30, desktop changing every frame"
VANTREL_LINK_PASSWORD=$PASSWORD viewer_side exec "$VIEWER" "127.0.0.1:$PORT" --size 1920x1080@30 \
  --seconds 40 >"$WORK/cpu.out" 2>"$WORK/cpu.err" &
viewer=$!
PIDS+=($viewer)
for _ in $(seq 600); do grep -q '^display ' "$WORK/cpu.out" && break; sleep 0.05; done
flicker 20
sleep 4
ticks0=$(cpu_of "$viewer"); t0=$(date +%s.%N)
sleep 10
ticks1=$(cpu_of "$viewer"); t1=$(date +%s.%N)
wait "$FLICKER" || true
kill "$viewer" 2>/dev/null || true
wait "$viewer" 2>/dev/null || true
sleep 3  # the server ends the session before it takes the next client
hz=$(getconf CLK_TCK)
viewer_cpu=$(python3 -c "print(f'{($ticks1 - $ticks0) / $hz / ($t1 - $t0) * 100:.1f}')")

# The same kind of stream recorded by the command-line client, decoded by ffmpeg at 30 fps.
flicker 14
"$CLIENT" share "127.0.0.1:$PORT" --password "$PASSWORD" --size 1920x1080@30 --seconds 12 \
  --record "$WORK/cpu.hevc" >"$WORK/cpu-client.out" 2>&1 || tail -3 "$WORK/cpu-client.out"
wait "$FLICKER" || true
frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
  -of csv=p=0 "$WORK/cpu.hevc")
/usr/bin/time -f "%U %S %e" -o "$WORK/ffmpeg.time" \
  ffmpeg -loglevel error -re -framerate 30 -i "$WORK/cpu.hevc" -f null - || true
read -r fu fs fe < <(tail -n1 "$WORK/ffmpeg.time")
ffmpeg_cpu=$(python3 -c "print(f'{($fu + $fs) / $fe * 100:.1f}')")
echo "RESULT viewer CPU 1920x1080@30: ${viewer_cpu} % of a core (decode, scale, present);" \
  "ffmpeg -re decoding $frames frames of the same kind of stream: ${ffmpeg_cpu} %;" \
  "ratio $(python3 -c "print(f'{$viewer_cpu / max($ffmpeg_cpu, 0.1):.2f}')")"
stop_server >/dev/null 2>&1 || true

# Where the time of each measured change went: the server's frame trace (written as it stopped)
# joined to each receiver's arrivals on the shared steady clock.
[ -s "$WORK/frames.trace" ] || { echo "(no frame trace from this server)"; exit 0; }
python3 - "$WORK/frames.trace" "$WORK"/present-*.log.samples <<'PY'
import bisect, os, statistics, sys
frames, sent = {}, []
for line in open(sys.argv[1]):
    stage, frame, ns = map(int, line.split())
    frames.setdefault(frame, {})[stage] = ns
    if stage == 5:
        sent.append((ns, frame))
sent.sort()
sent_times = [ns for ns, _ in sent]
names = ["change -> capture tick", "tick -> grabbed", "grabbed -> converted",
         "converted -> encoder in", "encoder in -> out", "encoder out -> sent",
         "sent -> arrived", "arrived -> decoded", "decoded -> presented", "glass to glass"]
def p99(values):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(0.99 * (len(values) - 1))))]
for path in sys.argv[2:]:
    label = os.path.basename(path)[len("present-"):-len(".log.samples")]
    columns, untraced = [[] for _ in names], 0
    for line in open(path):
        change, arrived, decoded, presented = map(int, line.split())
        # The access unit is the last one handed to the connection before it arrived.
        i = bisect.bisect_right(sent_times, arrived) - 1
        stages = frames.get(sent[i][1], {}) if i >= 0 else {}
        if i < 0 or any(k not in stages for k in range(6)) or arrived - sent_times[i] > 100e6:
            untraced += 1
            continue
        points = [change] + [stages[k] for k in range(6)] + [arrived, decoded, presented]
        for k in range(len(points) - 1):
            columns[k].append((points[k + 1] - points[k]) / 1e6)
        columns[-1].append((presented - change) / 1e6)
    if not columns[-1]:
        continue
    print(f"STAGES {label}, {len(columns[-1])} changes ({untraced} not traced)")
    print(f"  {'stage':<26} {'median':>9} {'p99':>9}")
    for name, values in zip(names, columns):
        print(f"  {name:<26} {statistics.median(values):9.2f} {p99(values):9.2f}")
PY
