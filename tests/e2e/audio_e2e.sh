#!/usr/bin/env bash
# System audio end to end: the real server on its own headless desktop with its own sound server,
# and the real client writing the decoded audio port to WAV. A tone played into the desktop's
# default output (with pactl/pacat as the desktop's applications) comes out at the client at its
# frequency and level; a 5.1 session carries each channel's tone in that channel only. After each
# session the desktop's own default output is back and no corvane_audio sink is left.
source "$(dirname "$0")/lib.sh"

private_server_settings
start_server_with_desktop
export PULSE_SERVER="unix:$WORK/runtime/vantrel-link-sound/native"
check "the server started a sound server of its own" \
  grep -q "Sound server of our own started" "$WORK/server.out"
pactl info >/dev/null

# The desktop's speakers, its default output before any session.
pactl load-module module-null-sink sink_name=desk_speakers >/dev/null
pactl set-default-sink desk_speakers

# tone.py OUT SECONDS CHANNELS SEGMENTS: raw float32le at 48 kHz. SEGMENTS is a list of
# "channel:frequency:start:length" (seconds); every tone is at -20 dBFS (peak 0.1).
cat >"$WORK/tone.py" <<'PY'
import math, struct, sys
out, seconds, channels = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
segments = [tuple(float(x) for x in s.split(":")) for s in sys.argv[4:]]
frames = int(seconds * 48000)
data = bytearray()
for i in range(frames):
    t = i / 48000
    frame = [0.0] * channels
    for c, f, start, length in segments:
        if start <= t < start + length:
            frame[int(c)] = 0.1 * math.sin(2 * math.pi * f * t)
    data += struct.pack("<%df" % channels, *frame)
open(out, "wb").write(data)
PY

# share SIZE SECONDS OUT.wav: runs the client in the background (CLIENT_PID).
share() {
  "$CLIENT" share "127.0.0.1:$PORT" --password "$PASSWORD" --size "$1" --seconds "$2" --audio "$3" \
    >"$3.out" 2>"$3.err" &
  CLIENT_PID=$!
}
wait_for_default() {  # the session made Corvane Audio the default output
  for _ in $(seq 200); do
    [ "$(pactl get-default-sink)" = "corvane_audio" ] && return 0
    sleep 0.05
  done
  return 1
}
no_corvane_sink() { pactl info >/dev/null && not prints corvane_audio pactl list short sinks; }
default_is_desk() { [ "$(pactl get-default-sink)" = "desk_speakers" ]; }

# --- Stereo: 1 kHz at -20 dBFS into the default output. ---
python3 "$WORK/tone.py" "$WORK/stereo.raw" 3 2 0:1000:0:3 1:1000:0:3
share 1280x720@30 7 "$WORK/stereo.wav"
check "the session makes Corvane Audio the default output" wait_for_default
pacat --playback --raw --format=float32le --rate=48000 --channels=2 \
  --channel-map=front-left,front-right "$WORK/stereo.raw"
status=0
wait $CLIENT_PID || status=$?
cat "$WORK/stereo.wav.out"
tr '\r' '\n' <"$WORK/stereo.wav.err" | tail -n 2
check "stereo share exits 0" test "$status" -eq 0
check "the client decoded stereo audio packets" \
  grep -Eq "^audio layout stereo packets [1-9][0-9]* decode errors 0" "$WORK/stereo.wav.out"
python3 "$(dirname "$0")/wav_levels.py" "$WORK/stereo.wav" >"$WORK/stereo.levels"
# The tone's windows: both channels at -20 dBFS +- 1 dB and 1 kHz.
tone_windows() {
  awk '{ split($2, l, ":"); split($3, r, ":");
         if (l[1] > -30) { n++; if (l[1] < -21 || l[1] > -19 || r[1] < -21 || r[1] > -19 ||
                                    l[2] < 990 || l[2] > 1010) bad++ } }
       END { print n + 0, bad + 0 }' "$WORK/stereo.levels"
}
read -r windows bad < <(tone_windows)
echo "stereo: $windows tone windows, $bad off level or frequency"
check "the decoded WAV holds the tone for most of its 3 s" test "$windows" -ge 25
check "every tone window is 1 kHz at -20 dBFS +- 1 dB in both channels (edges aside)" \
  test "$bad" -le 2
check "after the session the desktop's default output is back" eventually default_is_desk
check "after the session no corvane_audio sink remains" no_corvane_sink

# --- 5.1 (2560x1440): a tone into each channel in turn comes out of that channel only. ---
# L R C LFE Ls Rs; the LFE channel carries what the LFE carries, a low tone.
python3 "$WORK/tone.py" "$WORK/surround.raw" 4.2 6 0:1000:0.1:0.5 1:1000:0.8:0.5 2:1000:1.5:0.5 \
  3:60:2.2:0.5 4:1000:2.9:0.5 5:1000:3.6:0.5
share 2560x1440@30 8 "$WORK/surround.wav"
wait_for_default
pacat --playback --raw --format=float32le --rate=48000 --channels=6 \
  --channel-map=front-left,front-right,front-center,lfe,rear-left,rear-right "$WORK/surround.raw"
status=0
wait $CLIENT_PID || status=$?
cat "$WORK/surround.wav.out"
check "5.1 share exits 0" test "$status" -eq 0
check "the client decoded a 5.1 stream" \
  grep -Eq "^audio layout fivePointOne packets [1-9][0-9]* decode errors 0" "$WORK/surround.wav.out"
python3 "$(dirname "$0")/wav_levels.py" "$WORK/surround.wav" >"$WORK/surround.levels"
# For each channel: windows where it is the loud one, and whether every other channel stayed at
# least 20 dB below it there.
surround_report() {
  awk '{ best = -1; top = -300
         for (c = 0; c < 6; c++) { split($(c + 2), v, ":"); lv[c] = v[1]; if (v[1] > top) { top = v[1]; best = c } }
         if (top < -30) next
         loud[best]++
         for (c = 0; c < 6; c++) if (c != best && lv[c] > top - 20) leak[best]++ }
       END { for (c = 0; c < 6; c++) printf "%d:%d:%d ", c, loud[c] + 0, leak[c] + 0; print "" }' \
    "$WORK/surround.levels"
}
report=$(surround_report)
echo "5.1 channel:windows:leaking $report"
for c in 0 1 2 3 4 5; do
  entry=$(tr ' ' '\n' <<<"$report" | grep "^$c:")
  IFS=: read -r _ loud leak <<<"$entry"
  check "5.1 channel $c carries its tone" test "$loud" -ge 3
  check "5.1 channel $c's tone stays out of the other channels (edges aside)" test "$leak" -le 1
done
check "after the 5.1 session the desktop's default output is back" eventually default_is_desk
check "after the 5.1 session no corvane_audio sink remains" no_corvane_sink

stop_server
check "the server's sound server is gone with it" bash -c "! pactl info >/dev/null 2>&1"
finish
