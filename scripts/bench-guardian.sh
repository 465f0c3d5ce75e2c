#!/bin/sh
# bench-guardian.sh [pulseaudio|pipewire] [RUNS]: how long the user waits for their output
# when Sonvale is killed while forwarding. Runs the real app (./build/bin/sonvale, or
# $SONVALE_EXECUTABLE) against a private sound server with the stand-in worker, kills it with
# SIGKILL once it forwards, and times until the speaker is the default output again and the
# forwarding output is gone.
set -eu
cd "$(dirname "$0")/.."
SERVER=${1:-pulseaudio}
RUNS=${2:-5}
EXE=${SONVALE_EXECUTABLE:-$(pwd)/build/bin/sonvale}
WORK=$(mktemp -d /tmp/sonvale-guardian.XXXXXX)
SOUND=$(tests/harness/sound-server-start.sh "$SERVER")
. "$SOUND/env"
export PULSE_SERVER
trap 'tests/harness/sound-server-stop.sh "$SOUND"; rm -rf "$WORK"' EXIT INT TERM
speaker=alsa_output.pci-0000_00_1f.3.analog-stereo.speaker
. scripts/stand-in-app.sh
run=1
while [ $run -le "$RUNS" ]; do
  "$EXE" --background >/dev/null 2>&1 &
  app=$!
  i=0
  until [ "$(pactl get-default-sink)" = local.sonvale.output.bedroom ] || [ $i -ge 300 ]; do sleep 0.1; i=$((i + 1)); done
  sleep 1
  start=$(date +%s%N)
  kill -9 $app
  until [ "$(pactl get-default-sink)" = "$speaker" ] && ! pactl list short sinks | grep -q local.sonvale.output; do
    sleep 0.01
    [ $(( ($(date +%s%N) - start) / 1000000 )) -gt 10000 ] && { echo "run $run: not restored within 10 s"; break; }
  done
  echo "run $run: output back and forwarding output removed $(( ($(date +%s%N) - start) / 1000000 )) ms after SIGKILL"
  wait $app 2>/dev/null || true
  run=$((run + 1))
done
