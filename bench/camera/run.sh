#!/usr/bin/env bash
# Camera bench: client frame to consumer (median, p99) and lensway's CPU at 1080p25 beside ffmpeg
# decoding the same stream, on a PipeWire session of its own.
#   bench/camera/run.sh BUILD_DIR [FRAMES]
set -euo pipefail
BIN=$(cd "${1:?usage: run.sh BUILD_DIR [FRAMES]}" && pwd)
"$BIN/bench/bench_camera" "$BIN/Lensway/lensway" "${2:-100}"
