#!/usr/bin/env bash
# The server's own sound server and then its microphone host are killed during a live session
# with system audio and the client's microphone. The server reports each loss and starts each
# again; system audio resumes within the session, the virtual microphone comes back, and a
# recorder on it still makes the client start its microphone. pactl and parec witness.
source "$(dirname "$0")/lib.sh"

private_server_settings
start_server_with_desktop
export PULSE_SERVER="unix:$WORK/runtime/vantrel-link-sound/native"

# One second of a quiet stereo tone as the headset's microphone, played in a loop.
tone_wav "$WORK/tone.wav" 1
mic_listed() { prints corvane_mic pactl list short sources; }
corvane_audio() { prints corvane_audio pactl list short sinks; }

share live 25 --audio "$WORK/live.wav" --mic "$WORK/tone.wav"
check "system audio streams" grows audio_packets live
check "the session shows the virtual microphone" eventually mic_listed

# --- The sound server dies.
old_pa=$(server_child pulseaudio)
check "the server runs a sound server of its own" test -n "$old_pa"
kill -KILL "$old_pa"
check "the server reports the sound server's loss" eventually logged "Sound server connection lost"
check "it starts the sound server again" eventually replaced pulseaudio "$old_pa"
sound_answers() { pactl info >/dev/null 2>&1; }
check "the new sound server answers at the same address" eventually sound_answers
check "Corvane Audio is prepared again" eventually logged "the sound server is back"
check "Corvane Audio is there again" eventually corvane_audio
check "system audio resumes within the session" grows audio_packets live
check "the virtual microphone comes back" eventually mic_listed

# --- The microphone host dies.
old_host=$(server_child corvane-mic-host)
check "the server runs a microphone host" test -n "$old_host"
kill -KILL "$old_host"
check "the server reports the host's death" eventually logged "microphone host exited"
check "it starts another host" eventually replaced corvane-mic-host "$old_host"
check "the virtual microphone is found again" eventually mic_listed
parec --device=corvane_mic --format=float32le --rate=48000 --channels=2 --file-format=raw \
  "$WORK/recording.raw" &
REC_PID=$!
check "a recorder on it makes the client start its microphone" \
  eventually grep -q "^micStart at " "$WORK/live.out"
kill -TERM "$REC_PID" 2>/dev/null || true; wait "$REC_PID" 2>/dev/null || true
check "system audio still streams" grows audio_packets live
kill -INT "$CLIENT_PID"
status=0
wait "$CLIENT_PID" || status=$?
CLIENT_PID=""
check "the session ends without an error at the client" test "$status" -eq 0
check "the server is still running" kill -0 "$SERVER_PID"
check "after the session Corvane Audio is gone" eventually bash -c "! pactl list short sinks | grep -q corvane_audio"

check "server shuts down cleanly on SIGTERM" stop_server
[ "$FAILURES" -ne 0 ] && grep -E "warning|error|🟥|🟩" "$WORK/server.out" | tail -n 30
finish
