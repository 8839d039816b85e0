#!/usr/bin/env bash
# System audio bench, on PulseAudio (the server's own) and on PipeWire (started here, which the
# server then uses):
# - sound to ear: 50 clicks into the desktop's default output against their arrival in the
#   client's decoded PCM, median and p99 (bench_audio_ear); floor: 8 ms poll + 10 ms frame + 5 ms
#   codec delay + the sound server's buffering;
# - CPU of the server while it streams stereo and 7.1 to a client, as % of one core, beside
#   `pacat --record` of the same monitor as the baseline (both over the same 10 s).
#   bench/audio/run.sh BUILD_DIR
set -euo pipefail
VL_BIN=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)
export VL_BIN
source "$(dirname "$0")/../../tests/e2e/lib.sh"
EAR="$VL_BIN/bench/bench_audio_ear"
TICKS=$(getconf CLK_TCK)

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# The server's audio path: the sound server connection's thread and the tap's (reading, converting,
# encoding, handing packets to the transport). The QUIC engine's sending is not in it.
audio_ticks() {
  local total=0 t
  for t in /proc/"$1"/task/*; do
    case "$(cat "$t/comm" 2>/dev/null)" in
      vl-pulse | ZuAudioTapQueue) total=$((total + $(awk '{ print $14 + $15 }' "$t/stat"))) ;;
    esac
  done
  echo $total
}

# cpu_during SECONDS SIZE CHANNELS MAP: the server's CPU (% of one core) while a client receives audio, and
# that of pacat recording the monitor alongside.
cpu_during() {
  "$CLIENT" share "127.0.0.1:$PORT" --password "$PASSWORD" --size "$2" --seconds $(($1 + 4)) \
    --audio "$WORK/cpu.wav" >"$WORK/cpu.out" 2>&1 &
  local client=$!
  for _ in $(seq 100); do [ "$(pactl get-default-sink)" = corvane_audio ] && break; sleep 0.05; done
  sleep 1
  # Noise on every channel keeps the encoder busy: the dearest input there is.
  pacat --playback --raw --format=s16le --rate=48000 --channels="$3" --channel-map="$4" \
    -d corvane_audio </dev/urandom &
  local player=$!
  pacat --record -d corvane_audio.monitor --format=float32le --rate=48000 --channels="$3" \
    --channel-map="$4" >/dev/null &
  local recorder=$!
  sleep 0.5
  local s0 a0 r0 s1 a1 r1
  s0=$(cpu_ticks "$SERVER_PID"); a0=$(audio_ticks "$SERVER_PID"); r0=$(cpu_ticks "$recorder")
  sleep "$1"
  s1=$(cpu_ticks "$SERVER_PID"); a1=$(audio_ticks "$SERVER_PID"); r1=$(cpu_ticks "$recorder")
  kill "$recorder" "$player"; wait "$recorder" "$player" 2>/dev/null || true
  wait "$client" || true
  # A figure is worth something only if the audio flowed.
  local packets
  packets=$(sed -n 's/^audio layout [a-zA-Z]* packets \([0-9]*\).*/\1/p' "$WORK/cpu.out")
  echo "(the client decoded ${packets:-no} audio packets in $(($1 + 4)) s)"
  awk -v s=$((s1 - s0)) -v a=$((a1 - a0)) -v r=$((r1 - r0)) -v t="$TICKS" -v d="$1" -v size="$2" \
    'BEGIN { printf "CPU %s: audio path %.1f %% of one core (whole server, video included, %.1f %%); pacat --record baseline %.1f %%\n", size, 100 * a / t / d, 100 * s / t / d, 100 * r / t / d }'
}

run_bench() {  # NAME
  echo "== $1"
  "$EAR" 127.0.0.1 "$PORT" "$PASSWORD" 1280x720@30 50
  cpu_during 10 1280x720@30 2 front-left,front-right
  cpu_during 10 3840x2160@30 8 \
    front-left,front-right,front-center,lfe,side-left,side-right,rear-left,rear-right
}

private_server_settings

# PulseAudio: the server's own.
start_server_with_desktop
export PULSE_SERVER="unix:$WORK/runtime/vantrel-link-sound/native"
run_bench "PulseAudio (the server's own)"
stop_server || true
unset PULSE_SERVER

# PipeWire with WirePlumber and its pulse server on a private bus, in the desktop's runtime folder.
rm -rf "$WORK/runtime" && mkdir -p "$WORK/runtime" && chmod 700 "$WORK/runtime"
PW_ENV=(env "XDG_RUNTIME_DIR=$WORK/runtime" "HOME=$WORK/runtime" "XDG_CONFIG_HOME=$WORK/runtime/config"
        "DBUS_SESSION_BUS_ADDRESS=unix:path=$WORK/runtime/bus")
"${PW_ENV[@]}" dbus-daemon --session --nofork --address="unix:path=$WORK/runtime/bus" >/dev/null 2>&1 &
PW_PIDS=($!)
sleep 0.2
"${PW_ENV[@]}" pipewire >"$WORK/pipewire.log" 2>&1 & PW_PIDS+=($!)
sleep 0.3
"${PW_ENV[@]}" wireplumber >"$WORK/wireplumber.log" 2>&1 & PW_PIDS+=($!)
"${PW_ENV[@]}" pipewire-pulse >"$WORK/pipewire-pulse.log" 2>&1 & PW_PIDS+=($!)
stop_pipewire() { for ((i = ${#PW_PIDS[@]} - 1; i >= 0; i--)); do kill "${PW_PIDS[$i]}" 2>/dev/null || true; done; }
trap 'stop_pipewire; cleanup' EXIT
export PULSE_SERVER="unix:$WORK/runtime/pulse/native"
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done
pactl load-module module-null-sink sink_name=desk_speakers >/dev/null
start_server_with_desktop
grep -q "Sound server of our own" "$WORK/server.out" && echo "warning: the server did not use PipeWire"
run_bench "PipeWire 0.3 (pipewire-pulse)"
stop_server || true
