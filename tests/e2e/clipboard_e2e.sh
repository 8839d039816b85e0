#!/usr/bin/env bash
# Clipboard sync between the real server on its own headless desktop and the real client over
# QUIC on 127.0.0.1, with xclip as the desktop's programs: what the client sends is pasted on the
# desktop, what the desktop copies arrives at the client with its type, and nothing echoes back.
source "$(dirname "$0")/lib.sh"

private_server_settings
start_server_with_desktop
echo "server desktop on $DESKTOP_DISPLAY"
desk() { DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY "$@"; }

printf 'sent by the headset: café ✓' >"$WORK/from-client.txt"
ffmpeg -v error -f lavfi -i "color=c=0x3070C0:s=96x64" -frames:v 1 "$WORK/from-client.png"
printf 'copied on the desktop: 日本語' >"$WORK/from-desktop.txt"
ffmpeg -v error -f lavfi -i "color=c=0xC81E28:s=120x80" -frames:v 1 "$WORK/from-desktop.png"
mkdir -p "$WORK/clips"

# The desktop side: wait for the client's text, then its image, then copy text and an image.
desktop() {
  local i
  for i in $(seq 1 150); do
    [ "$(desk xclip -o -selection clipboard 2>/dev/null)" = "$(cat "$WORK/from-client.txt")" ] &&
      { echo "desktop pasted the client's text"; break; }
    sleep 0.1
  done
  for i in $(seq 1 150); do
    desk xclip -o -selection clipboard -t image/png >"$WORK/pasted.png" 2>/dev/null &&
      { echo "desktop pasted the client's image"; break; }
    sleep 0.1
  done
  desk xclip -quiet -selection clipboard -i "$WORK/from-desktop.txt" >/dev/null 2>&1 &
  local text_owner=$!
  sleep 1.5
  desk xclip -quiet -selection clipboard -t image/png -i "$WORK/from-desktop.png" >/dev/null 2>&1 &
  local image_owner=$!
  sleep 2
  kill "$text_owner" "$image_owner" 2>/dev/null || true
  wait "$text_owner" "$image_owner" 2>/dev/null || true
}
desktop >"$WORK/desktop.out" 2>&1 &
desktop_pid=$!

status=0
"$CLIENT" share "127.0.0.1:$PORT" --password 'Ez3Kq$vn' --size 1280x720@30 --seconds 14 \
  --clipboard-send "$WORK/from-client.txt:text" --clipboard-send "$WORK/from-client.png:image" \
  --clipboard-out "$WORK/clips" >"$WORK/share.out" 2>"$WORK/share.err" || status=$?
wait $desktop_pid || true
grep '^clipboard' "$WORK/share.out" || true
cat "$WORK/desktop.out"

check "share exits 0" test "$status" -eq 0
check "the client's text was pasted on the desktop" grep -q "pasted the client's text" "$WORK/desktop.out"
check "the client's image was pasted on the desktop" grep -q "pasted the client's image" "$WORK/desktop.out"
pasted=$(ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 "$WORK/pasted.png" || true)
check "the pasted image is a 96x64 PNG ($pasted)" test "$pasted" = "png,96,64"
texts=$(grep -l . "$WORK"/clips/*.text 2>/dev/null || true)
check "the desktop's text arrived as one text event" test "$(echo "$texts" | grep -c .)" -eq 1
check "with the desktop's bytes" cmp -s "$texts" "$WORK/from-desktop.txt"
images=$(ls "$WORK"/clips/*.image 2>/dev/null || true)
check "the desktop's image arrived as one image event" test "$(echo "$images" | grep -c .)" -eq 1
jpeg=$(ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 "$images" || true)
check "as a 120x80 JPEG ($jpeg)" test "$jpeg" = "mjpeg,120,80"
check "nothing the client sent came back" test "$(ls "$WORK/clips" | wc -l)" -eq 2
check "the server applied both" test "$(grep -c 'handleClipboard: applied' "$WORK/server.out")" -eq 2
check "server shuts down cleanly on SIGTERM" stop_server
check "no crash report in the log" bash -c "! grep -Eq 'AddressSanitizer|terminate called' '$WORK/server.out'"
finish
