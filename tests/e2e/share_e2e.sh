#!/usr/bin/env bash
# A sharing session between the real server on its own headless desktop (Xorg with the dummy
# driver and a window manager) and the real client over QUIC on 127.0.0.1: the recording is one
# HEVC stream of the requested size without B-frames, and the snapshot shows what a test X client
# painted last.
source "$(dirname "$0")/lib.sh"

private_server_settings
start_server_with_desktop
echo "server desktop on $DESKTOP_DISPLAY"

# The root window's colour changes every 0.3 s and stays (200, 30, 40) for the last seconds; the
# virtual display shows the root window wherever no window covers it.
paint() {
  local colours=('#2040E0' '#20E040' '#E0E020')
  for i in $(seq 0 11); do
    DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY xsetroot -solid "${colours[$((i % 3))]}"
    sleep 0.3
  done
  DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY xsetroot -solid '#C81E28'
}

xr() { DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY xrandr --query | grep -E '^Screen|[0-9]+x[0-9]+\+'; }
before=$(xr)

(sleep 4; paint) &
painter=$!
status=0
"$CLIENT" share "127.0.0.1:$PORT" --password 'Ez3Kq$vn' --size 1280x720@60 --extra 1366x768 \
  --seconds 10 --record "$WORK/out.hevc" --snapshot "$WORK/out.png" \
  >"$WORK/share.out" 2>"$WORK/share.err" || status=$?
wait $painter || true
cat "$WORK/share.out"
tr '\r' '\n' <"$WORK/share.err" | tail -n 3

check "share exits 0" test "$status" -eq 0
check "the session's answer names the main video port P+2" \
  grep -q "^display 1280x720 video port $((PORT + 2)) id " "$WORK/share.out"
check "the extra display answers on port P+6" \
  grep -q "^extra 1366x768 video port $((PORT + 6)) id " "$WORK/share.out"
frames=$(sed -n 's/^display .* frames \([0-9]*\) key frames.*/\1/p' "$WORK/share.out")
check "frames arrived while the screen changed" test "${frames:-0}" -ge 5
check "every frame decoded" grep -Eq '^display .* decoded [0-9]+ decode errors 0$' "$WORK/share.out"
check "the live progress line counts frames" grep -q 'display: [0-9]* frames .* fps .* Mbit/s' "$WORK/share.err"

streams=$(ffprobe -v error -select_streams v:0 \
  -show_entries stream=codec_name,width,height,has_b_frames -of default=nw=1 "$WORK/out.hevc")
echo "$streams" | tr '\n' ' '; echo
check "the recording is HEVC" grep -q '^codec_name=hevc$' <<<"$streams"
check "the recording has the requested size" \
  bash -c "grep -q '^width=1280$' <<<'$streams' && grep -q '^height=720$' <<<'$streams'"
check "the recording has no B-frames" grep -q '^has_b_frames=0$' <<<"$streams"
packets=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets \
  -of csv=p=0 "$WORK/out.hevc")
check "every frame is one access unit of the recording ($packets)" test "$packets" -eq "$frames"
first=$(ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 \
  -read_intervals '%+#1' "$WORK/out.hevc")
check "the recording starts with a key frame" grep -q '^K' <<<"$first"
pict=$(ffprobe -v error -select_streams v:0 -show_entries frame=pict_type -of csv=p=0 "$WORK/out.hevc" | sort -u | tr '\n' ' ')
check "only I and P pictures ($pict)" bash -c "[[ '$pict' =~ ^(I |P )+$ ]]"

extra=$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height \
  -of csv=p=0 "$WORK/out-extra.hevc" || true)
check "the extra display's recording is 1366x768 HEVC ($extra)" test "$extra" = "hevc,1366,768"

png=$(ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 "$WORK/out.png" || true)
check "the snapshot is a 1280x720 PNG ($png)" test "$png" = "png,1280,720"
centre=$(ffmpeg -v error -i "$WORK/out.png" -vf "crop=1:1:640:360" -f rawvideo -pix_fmt rgb24 - |
  od -An -tu1 | tr -s ' ')
check "the snapshot shows the last colour painted ($centre)" python3 - "$centre" <<'PY'
import sys
rgb = [int(v) for v in sys.argv[1].split()]
sys.exit(0 if len(rgb) == 3 and all(abs(a - b) <= 16 for a, b in zip(rgb, (200, 30, 40))) else 1)
PY

# A second session asks for HDR: Main10 with BT.2020 primaries and the PQ transfer.
status=0
"$CLIENT" share "127.0.0.1:$PORT" --password 'Ez3Kq$vn' --size 1920x1080@30 --hdr --seconds 2 \
  --record "$WORK/hdr.hevc" --snapshot "$WORK/hdr.png" >"$WORK/hdr.out" 2>"$WORK/hdr.err" || status=$?
grep -v '^ret200' "$WORK/hdr.out"
check "the HDR session exits 0" test "$status" -eq 0
hdr=$(ffprobe -v error -select_streams v:0 \
  -show_entries stream=width,height,pix_fmt,color_primaries,color_transfer -of csv=p=0 \
  "$WORK/hdr.hevc" || true)
check "the HDR recording is 10-bit BT.2020 PQ at 1920x1080 ($hdr)" \
  test "$hdr" = "1920,1080,yuv420p10le,smpte2084,bt2020"
png=$(ffprobe -v error -show_entries stream=width,height -of csv=p=0 "$WORK/hdr.png" || true)
check "the HDR snapshot is 1920x1080 ($png)" test "$png" = "1920,1080"

check "every capture stopped" test "$(grep -c '\[VNSCapture\] Stopped' "$WORK/server.out")" -eq 3
check "displayStop removed the extra display" grep -q "handleDisplayStop: removing virtual display" "$WORK/server.out"
sleep 1
check "the X screen is back to its layout" test "$(xr)" = "$before"
check "server shuts down cleanly on SIGTERM" stop_server
check "no crash report in the log" bash -c "! grep -Eq 'AddressSanitizer|terminate called' '$WORK/server.out'"
finish
