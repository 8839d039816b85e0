#!/usr/bin/env bash
# Runs the sharing-session benchmarks (a few minutes): throughput against raw x265 at 720p and
# 1080p, glass-to-glass latency at 720p60 and 1080p30 with the table of where its time goes
# (also alone: bench_session latency [SAMPLES]), CPU on a still desktop at 1080p60.
# Usage: bench/session/run.sh [BUILD_DIR]   (default: build). Needs Xvfb; each benchmark claims
# a display number among :90 to :94 (waiting while other programs hold them all).
set -euo pipefail
BUILD=${1:-build}
BIN="$BUILD/bench/bench_session"
[ -x "$BIN" ] || { echo "build bench_session first: cmake --build $BUILD --target bench_session"; exit 1; }
echo "== $(date -u +%FT%TZ) on $(nproc) CPUs"
"$BIN" throughput 3 5          # baseline beside the same X drawing load
"$BIN" throughput 3 5 alone    # baseline with the machine to itself
"$BIN" latency 100
"$BIN" static 10
