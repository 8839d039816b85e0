#!/usr/bin/env bash
# Runs the sharing-session benchmarks (several minutes) on X11 and on GNOME Wayland side by side:
# throughput against raw x265 at 720p and 1080p, glass-to-glass latency at 720p60 and 1080p30 with
# the table of where its time goes (also alone: bench_session latency [SAMPLES] [--desktop D]),
# CPU and frames on a still desktop at 1080p60; each on Xvfb, then on a private headless Mutter,
# with Mutter's figure over X11's.
# Usage: bench/session/run.sh [BUILD_DIR] [DESKTOP]   (default: build, both; DESKTOP: x11,
# mutter or both). Xvfb claims a display number among :90 to :94 (waiting while other programs
# hold them all); Mutter runs in a runtime folder, session bus and PipeWire of its own.
set -euo pipefail
BUILD=${1:-build}
DESKTOP=${2:-both}
BIN="$BUILD/bench/bench_session"
[ -x "$BIN" ] || { echo "build bench_session first: cmake --build $BUILD --target bench_session"; exit 1; }
echo "== $(date -u +%FT%TZ) on $(nproc) CPUs"
"$BIN" throughput 3 5 --desktop "$DESKTOP"          # baseline beside the same drawing load
"$BIN" throughput 3 5 alone --desktop "$DESKTOP"    # baseline with the machine to itself
"$BIN" latency 100 --desktop "$DESKTOP"
"$BIN" static 10 --desktop "$DESKTOP"
