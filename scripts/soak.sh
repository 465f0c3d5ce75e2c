#!/bin/sh
# soak.sh [MINUTES] [pulseaudio|pipewire]: runs the real application forwarding for MINUTES
# (default 30) against a private sound server, with the stand-in worker taking the PCM. Each
# minute the default output goes to the USB headset for five seconds and back to the speaker
# (a hold and a resume); every ten minutes the sound server is killed and started again.
# Prints, at the end: the frames the worker missed outside the restarts and holds, the frames the app
# itself counted as dropped (ring overflow, holes in the record stream), how many
# holds and restarts were recovered and after how many retries, and the app's RSS at the
# start and the end. Runs ./build/bin/sonvale, or $SONVALE_EXECUTABLE.
set -eu
cd "$(dirname "$0")/.."
MINUTES=${1:-30}
SERVER=${2:-pulseaudio}
HERE=$(pwd)
WORK=$(mktemp -d /tmp/sonvale-soak.XXXXXX)
SOUND=$(tests/harness/sound-server-start.sh "$SERVER")
. "$SOUND/env"
export PULSE_SERVER
speaker=alsa_output.pci-0000_00_1f.3.analog-stereo.speaker
headset=alsa_output.usb-Logitech_USB_Headset-00.analog-stereo

. scripts/stand-in-app.sh
LOG="$WORK/state/Sonvale/Sonvale.log"

cleanup() {
  kill "$APP" 2>/dev/null || true
  sleep 1
  tests/harness/sound-server-stop.sh "$SOUND"
  rm -rf "$WORK"
}
"${SONVALE_EXECUTABLE:-$HERE/build/bin/sonvale}" --background >/dev/null 2>&1 &
APP=$!
trap cleanup EXIT INT TERM

rss() { awk '/^VmRSS/ {print $2}' "/proc/$APP/status"; }
connected() { cat "$LOG" 2>/dev/null | awk '/已连接 卧室/ { n++ } END { print n + 0 }'; }
wait_connected() {  # wait_connected COUNT: until the log shows COUNT connections, at most 60 s
  i=0
  while [ "$(connected)" -lt "$1" ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done
  [ "$(connected)" -ge "$1" ]
}
wait_connected 1 || { echo "soak: forwarding never started"; exit 1; }
sleep 5
RSS_START=$(rss)
missed=0 holds=0 holds_ok=0 restarts=0 restarts_ok=0 retries=""
minute=1
while [ $minute -le "$MINUTES" ]; do
  # A steady stretch, from a few seconds after the last take-over (a fresh null sink and a
  # switch of the default output are their own subject): the worker must get 176,400 bytes
  # a second.
  sleep 5
  lost=$(scripts/steady_loss.py "$WORK/pcm" 45)
  [ "$lost" -eq 0 ] || echo "minute $minute: $lost frames missed" >&2
  missed=$((missed + lost))
  count=$(connected)
  if [ $((minute % 10)) -eq 0 ]; then
    restarts=$((restarts + 1))
    lines_before=$(($(wc -l < "$LOG") + 1))
    SS_KEEP_DIR=1 tests/harness/sound-server-stop.sh "$SOUND"
    SS_DIR="$SOUND" tests/harness/sound-server-start.sh "$SERVER" >/dev/null
    if wait_connected $((count + 1)); then
      restarts_ok=$((restarts_ok + 1))
      retries="$retries $(tail -n +"$lines_before" "$LOG" | awk '/秒后重试/ { n++ } END { print n + 0 }')"
    fi
  else
    holds=$((holds + 1))
    pactl set-default-sink "$headset"; sleep 5; pactl set-default-sink "$speaker"
    wait_connected $((count + 1)) && holds_ok=$((holds_ok + 1))
  fi
  minute=$((minute + 1))
done
echo "soak on $SERVER, $MINUTES minutes"
echo "frames missed in steady stretches: $missed"
echo "holds recovered: $holds_ok of $holds"
echo "restarts recovered: $restarts_ok of $restarts (retries before each:$retries)"
echo "RSS: ${RSS_START} kB at the start, $(rss) kB at the end"
echo "frames the app counted as dropped (its log): $(awk '/音频丢帧/ { sub(/.*音频丢帧：/, ""); n += $1 } END { print n + 0 }' "$LOG")"
