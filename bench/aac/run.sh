#!/usr/bin/env bash
# AAC-ELD speed and quality beside libavcodec's AAC-LC, pinned to one core, plus a check that the
# aaceld tool's MP4 output is read by ffprobe and ffmpeg.
#   bench/aac/run.sh [build-dir]      (default: build)
# Extra arguments after the build directory go to the benchmark (e.g. --no-quality,
# --benchmark_filter=Encode).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
shift || true
cmake -S "$root" -B "$build" -G Ninja -DVANTREL_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target bench_aac aaceld
core=$(($(nproc) - 1))
taskset -c "$core" "$build/bench/bench_aac" --benchmark_min_time=0.5 "$@" 2> >(grep -v 'Qavg' >&2)

work=$(mktemp -d /tmp/vl-aac-bench.XXXX)
trap 'rm -rf "$work"' EXIT
ffmpeg -hide_banner -loglevel error -f lavfi -i "sine=frequency=1000:sample_rate=48000:duration=3" \
  -ac 2 -c:a pcm_f32le "$work/in.wav"
"$build/aac/aaceld" encode "$work/in.wav" "$work/eld.m4a"
ffprobe -v error -show_entries stream=codec_name,profile,sample_rate,channels,bit_rate \
  -of compact "$work/eld.m4a"
ffmpeg -hide_banner -loglevel warning -i "$work/eld.m4a" -f f32le -y /dev/null && echo "ffmpeg decodes aaceld output without warnings"
