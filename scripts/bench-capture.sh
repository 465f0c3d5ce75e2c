#!/bin/sh
# CPU share of the capture path: a private sound server (PulseAudio unless told otherwise)
# with the test topology, a steady -6 dBFS 997 Hz tone played into the default output
# (48 kHz), and capture_cpu_bench forwarding it for SECONDS (default 60) into a pipe.
# Usage: scripts/bench-capture.sh BUILD_DIR [SECONDS] [pulseaudio|pipewire]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: bench-capture.sh BUILD_DIR [SECONDS] [pulseaudio|pipewire]}
seconds=${2:-60}
dir=$("$root/tests/harness/sound-server-start.sh" "${3:-pulseaudio}")
player=
cleanup() {
  [ -n "$player" ] && kill "$player" 2>/dev/null || true
  "$root/tests/harness/sound-server-stop.sh" "$dir"
}
trap cleanup EXIT INT TERM
. "$dir/env"
export PULSE_SERVER
sox -n -r 48000 -c 2 -b 32 -e floating-point -t raw - synth $((seconds + 10)) sine 997 vol 0.501 2>/dev/null |
  pacat --raw --format=float32le --rate=48000 --channels=2 --latency-msec=200 &
player=$!
"$build/bin/capture_cpu_bench" "$seconds"
