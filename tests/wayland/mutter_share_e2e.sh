#!/usr/bin/env bash
# The real server on a GNOME Wayland session — a private headless Mutter with its own session bus,
# PipeWire and WirePlumber — and the real client over QUIC on 127.0.0.1. Each share makes a
# virtual monitor of the asked size beside Mutter's own monitor (seen through DisplayConfig by a
# witness of ours), streams HEVC of that size (HDR too), and the monitor is gone once the client
# stopped.
# While a client is connected the session stays awake: an idle inhibitor of the session manager.
source "$(dirname "$0")/../e2e/lib.sh"
source "$(dirname "$0")/mutter_lib.sh"
start_private_mutter --virtual-monitor 1024x768

before=$(monitors)
echo "monitors before: $before"

claim_port_block
server_config set controlport "$PORT" >/dev/null
launch_server
check "the server runs on Mutter" grep -q "Desktop backend: Mutter" "$WORK/server.out"
check "no X server of its own" not grep -q "Desktop on display" "$WORK/server.out"

# share WxH: a session of that size; while it runs the witness sees the virtual monitor.
share() {
  local size=$1 status=0
  "$CLIENT" share "127.0.0.1:$PORT" --password "$PASSWORD" --size "$size@30" --seconds 6 \
    --record "$WORK/$size.hevc" >"$WORK/$size.out" 2>"$WORK/$size.err" &
  local client=$!
  if eventually prints " $size at " monitors; then
    monitors >"$WORK/$size.during"
  fi
  wait $client || status=$?
  echo "monitors during $size: $(tr '\n' ';' <"$WORK/$size.during" 2>/dev/null)"
  grep -v '^ret200' "$WORK/$size.out"
  check "share $size exits 0" test "$status" -eq 0
  check "a $size virtual monitor sits right of Mutter's own" \
    grep -Eq "^Meta-[0-9]+ $size at 1024,0$" "$WORK/$size.during"
  local stream
  stream=$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height \
    -of csv=p=0 "$WORK/$size.hevc" || true)
  check "the recording is $size HEVC ($stream)" test "$stream" = "hevc,${size/x/,}"
  local frames
  frames=$(sed -n 's/^display .* frames \([0-9]*\) key frames.*/\1/p' "$WORK/$size.out")
  check "frames arrived ($frames)" test "${frames:-0}" -ge 1
  check "every frame decoded" grep -Eq '^display .* decoded [0-9]+ decode errors 0$' "$WORK/$size.out"
  check "the monitor is gone after the client stopped, the layout as before" eventually as_before
}
as_before() { test "$(monitors)" = "$before"; }

share 1280x720
share 1920x1080

# HDR: Mutter's pixels are 8-bit; the stream is still Main10 with BT.2020 primaries and PQ.
status=0
"$CLIENT" share "127.0.0.1:$PORT" --password "$PASSWORD" --size 1280x720@30 --hdr --seconds 3 \
  --record "$WORK/hdr.hevc" >"$WORK/hdr.out" 2>"$WORK/hdr.err" || status=$?
check "the HDR session exits 0" test "$status" -eq 0
hdr=$(ffprobe -v error -select_streams v:0 \
  -show_entries stream=width,height,pix_fmt,color_primaries,color_transfer -of csv=p=0 \
  "$WORK/hdr.hevc" || true)
check "the HDR recording is 10-bit BT.2020 PQ at 1280x720 ($hdr)" \
  test "$hdr" = "1280,720,yuv420p10le,smpte2084,bt2020"
check "the server says once that Mutter's pixels are 8-bit" \
  test "$(grep -c 'Mutter streams 8-bit pixels only' "$WORK/server.out")" -eq 1
eventually as_before

check "each connected client kept the session from going idle" \
  test "$(grep -c '^inhibit vantrel-link 8 ' "$WORK/manager.log")" -eq 3
check "and let it go idle again once gone" test "$(grep -c '^uninhibit ' "$WORK/manager.log")" -eq 3

check "server shuts down cleanly on SIGTERM" stop_server
check "no crash report in the log" bash -c "! grep -Eq 'AddressSanitizer|terminate called' '$WORK/server.out'"
finish
