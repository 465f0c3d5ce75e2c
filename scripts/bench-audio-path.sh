#!/bin/bash
# bench-audio-path.sh [SECONDS] [pulseaudio|pipewire ...]: the audio path end to end (needs root). For each
# server: a private server with a 44.1 kHz speaker and a headset, a paced libpulse player already playing a 997 Hz
# tone with a marker every 0.5 s (44.1 kHz 16-bit) when Sonvale starts forwarding it, with the real worker, to
# shairport-sync 3.3.8 "卧室" in a network namespace; SECONDS (default 60) of forwarding, a hold on the headset
# and a resume, then 10 s of a 48 kHz player. Before that, the same player with parec recording the monitor
# (the floor) and alone (the base). Prints CPU per process (% of one core), what was lost and where, splices,
# fidelity, the player's longest write (a stall) and the latency from the player's write to the packet leaving.
# What was lost is judged from the audio itself: each marker carries its number, so every frame the speaker, the
# headset, the packets leaving and the receiver's output carry is placed on the player's time line; a stretch of it
# found in none of them is lost. Losses at a hold are the receiver's buffer, dropped when the session ends.
# Runs ${BUILD_DIR:-build}/bin/sonvale with the worker from its share/sonvale.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
case "${BUILD_DIR:-build}" in /*) BUILD=$BUILD_DIR ;; *) BUILD=$ROOT/${BUILD_DIR:-build} ;; esac
SECONDS_RUN=${1:-60}; shift || true
SERVERS=${*:-pulseaudio pipewire}
PROBE="/usr/bin/python3 $ROOT/scripts/audio_path_probe.py"
SPEAKER=alsa_output.pci-0000_00_1f.3.analog-stereo.speaker HEADSET=alsa_output.usb-Logitech_USB_Headset-00.analog-stereo
PIDS="" SS_DIR="" RX_DIR="" WORK=""
cleanup() {
  for p in $PIDS; do kill "$p" 2>/dev/null || true; done
  sleep 0.5
  [ -n "$RX_DIR" ] && "$ROOT/tests/harness/receiver-stop.sh" "$RX_DIR" >/dev/null 2>&1
  [ -n "$SS_DIR" ] && "$ROOT/tests/harness/sound-server-stop.sh" "$SS_DIR" >/dev/null 2>&1
  PIDS="" SS_DIR="" RX_DIR=""
}
trap 'cleanup; [ -n "$WORK" ] && rm -rf "$WORK"' EXIT
trap 'exit 130' INT TERM
ticks() { for p in "$@"; do awk '{ print $14 + $15 }' "/proc/$p/stat" 2>/dev/null || echo 0; done | paste -sd+ | bc; }
# cpu NAME SECONDS PID...: the share of one core these processes used over SECONDS.
cpu() { n=$1 s=$2; shift 2; a=$(ticks "$@"); sleep "$s"; b=$(ticks "$@")
  echo "$n $(echo "scale=2; ($b - $a) * 100 / $(getconf CLK_TCK) / $s" | bc)"; }
server_pids() { for f in pulseaudio pipewire wireplumber pipewire-pulse; do cat "$SS_DIR/$f.pid" 2>/dev/null; done; }
sink() { pactl load-module module-null-sink sink_name="$1" rate=44100 \
  "sink_properties='$2 device.class=sound node.force-rate=44100'" >/dev/null; }
record() {  # record SINK: what the sink plays, at real time (a recorder, then one suspend and resume)
  $PROBE record "$1" "$WORK/$1.s16" & PIDS="$PIDS $!"; sleep 0.3; pactl suspend-sink "$1" 1; pactl suspend-sink "$1" 0; }
wait_log() { for _ in $(seq 1 300); do [ "$(cat "$LOG" 2>/dev/null | grep -c "$1")" -ge "$2" ] && return 0; sleep 0.1; done; return 1; }

for SERVER in $SERVERS; do
  WORK=$(mktemp -d /tmp/sonvale-bench-audio.XXXXXX)
  echo "== $SERVER, $SECONDS_RUN s"
  SS_DIR=$(SS_TOPOLOGY=no "$ROOT/tests/harness/sound-server-start.sh" "$SERVER"); . "$SS_DIR/env"; export PULSE_SERVER
  sink $SPEAKER 'device.description="内置音频 扬声器" device.api=alsa device.bus=pci device.form_factor=internal device.profile.name=analog-stereo device.string=front:0'
  sink $HEADSET 'device.description="Logitech USB Headset" device.api=alsa device.bus=usb device.form_factor=headset device.profile.name=analog-stereo'
  pactl set-default-sink $SPEAKER
  record $SPEAKER; record $HEADSET
  RX_DIR=$(RX_NAME=卧室 RX_DIR=$WORK/rx TAG=b${SERVER:1:1}$$ "$ROOT/tests/harness/receiver-start.sh" 2>/dev/null ||
           RX_NAME=卧室 RX_DIR=$WORK/rx2 TAG=c${SERVER:1:1}$$ "$ROOT/tests/harness/receiver-start.sh"); . "$RX_DIR/env"
  ip netns exec "$NS_TX" $PROBE sniff "vtx$TAG" "$WORK/packets" "$WORK/packets.s16" & PIDS="$PIDS $!"
  $PROBE play 44100 $((SECONDS_RUN + 60)) "$WORK/sent" & PLAYER=$!; PIDS="$PIDS $PLAYER"
  sleep 3
  cpu "base: server" 15 $(server_pids)
  parec -d $SPEAKER.monitor --raw > /dev/null & FLOOR=$!
  cpu "floor: server + parec" 15 $(server_pids) $FLOOR
  kill $FLOOR

  export XDG_CONFIG_HOME="$WORK/config" XDG_STATE_HOME="$WORK/state" XDG_RUNTIME_DIR="$WORK/runtime" \
         QT_QPA_PLATFORM=offscreen DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent
  mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"; chmod 700 "$XDG_RUNTIME_DIR"
  printf '[General]\nenabled=true\ntargetName=卧室\n' > "$XDG_CONFIG_HOME/local.sonvale.conf"
  LOG=$XDG_STATE_HOME/Sonvale/Sonvale.log
  ip netns exec "$NS_TX" "$BUILD/bin/sonvale" --background </dev/null >"$WORK/app.log" 2>&1 & APP=$!; PIDS="$PIDS $APP"
  wait_log "已连接 卧室，正在转发" 1 || { echo "no connection"; cat "$LOG"; tail -5 "$XDG_STATE_HOME/Sonvale/Sonvale-sender.log"; exit 1; }
  sleep 3
  WORKER=$(pgrep -P $APP -f sender.py | head -1)
  cpu "forwarding: server" "$SECONDS_RUN" $(server_pids) > "$WORK/cpu.server" & C1=$!
  cpu "forwarding: app" "$SECONDS_RUN" $APP > "$WORK/cpu.app" & C2=$!
  cpu "forwarding: worker" "$SECONDS_RUN" $WORKER > "$WORK/cpu.worker" & C3=$!
  wait $C1 $C2 $C3
  cat "$WORK/cpu.server" "$WORK/cpu.app" "$WORK/cpu.worker"
  pactl set-default-sink $HEADSET; sleep 5; pactl set-default-sink $SPEAKER
  wait_log "已连接 卧室，正在转发" 2 || echo "no resume"
  sleep 8
  kill $PLAYER 2>/dev/null || true
  sleep 1
  $PROBE play 48000 10 /dev/null
  sleep 2
  grep -h "音频丢帧" "$LOG" | sed 's/^/app log: /'; grep -q "音频丢帧" "$LOG" || echo "app log: no dropped frames"
  kill $APP; wait $APP 2>/dev/null || true
  $PROBE analyse "$WORK/sent" "$WORK/packets" "$WORK/$SPEAKER.s16" "$WORK/$HEADSET.s16" "$WORK/packets.s16" "$RX_DIR/received.s16"
  $PROBE snr "$RX_DIR/received.s16"
  cleanup
  [ -n "${BENCH_KEEP:-}" ] && echo "kept $WORK" || rm -rf "$WORK"; WORK=""
done
