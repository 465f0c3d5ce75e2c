#!/bin/sh
# sound-server-start.sh [pulseaudio|pipewire]: a private, headless sound server speaking the PulseAudio
# protocol (own runtime, home and state directories), with the device topology (topology.sh) unless
# SS_TOPOLOGY=no. Prints the state directory; its "env" file holds SERVER and PULSE_SERVER, the daemons'
# pid files and logs lie beside it. SS_DIR reuses a directory (a restart keeps the socket path).
# Stop: sound-server-stop.sh DIR. Every wait is bounded; a failed start stops everything and exits 1.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
SERVER=${1:-${SONVALE_SOUND_SERVER:-pulseaudio}}
case "$SERVER" in pulseaudio|pipewire) ;; *) echo "usage: $0 [pulseaudio|pipewire]" >&2; exit 2 ;; esac
SS_DIR=${SS_DIR:-$(mktemp -d /tmp/sonvale-sound.XXXXXX)}
mkdir -p "$SS_DIR/runtime" "$SS_DIR/home" "$SS_DIR/state"
chmod 700 "$SS_DIR/runtime"
export HOME="$SS_DIR/home" XDG_RUNTIME_DIR="$SS_DIR/runtime" XDG_CONFIG_HOME="$SS_DIR/home/.config" \
       XDG_STATE_HOME="$SS_DIR/state" PULSE_RUNTIME_PATH="$SS_DIR/runtime/pulse" PULSE_STATE_PATH="$SS_DIR/state"
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS PULSE_SERVER PIPEWIRE_REMOTE

fail() { echo "sound-server-start: $*" >&2; SS_KEEP_DIR=1 "$HERE/sound-server-stop.sh" "$SS_DIR" >/dev/null 2>&1; exit 1; }
# launch NAME COMMAND...: in the background, with a pid file. The daemons never inherit our
# stdout: a caller reading it would otherwise wait for them to exit.
launch() { n=$1; shift; "$@" </dev/null >>"$SS_DIR/$n.log" 2>&1 & echo $! > "$SS_DIR/$n.pid"; }
# within TRIES COMMAND...: retries every 50 ms.
within() { n=$1; shift; for i in $(seq 1 "$n"); do "$@" && return 0; sleep 0.05; done; return 1; }
has_default() { d=$(timeout 2 pactl get-default-sink 2>/dev/null) && [ -n "$d" ] && [ "$d" != "@DEFAULT_SINK@" ]; }

if [ "$SERVER" = pulseaudio ]; then
  export PULSE_SERVER="unix:$SS_DIR/native"
  rm -f "$SS_DIR/native"
  echo "load-module module-native-protocol-unix auth-anonymous=1 socket=$SS_DIR/native" > "$SS_DIR/server.pa"
  launch pulseaudio pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit=no --use-pid-file=no --system=no \
    --log-target=stderr --log-level=notice -F "$SS_DIR/server.pa"
  within 100 timeout 2 pactl info >/dev/null 2>&1 || fail "PulseAudio did not answer within 5 s (see $SS_DIR/pulseaudio.log)"
else
  export PIPEWIRE_RUNTIME_DIR="$SS_DIR/runtime" PULSE_SERVER="unix:$SS_DIR/runtime/pulse/native"
  rm -f "$SS_DIR/runtime/bus" "$SS_DIR/runtime/pipewire-0" "$SS_DIR/runtime/pipewire-0.lock" "$SS_DIR/runtime/pulse/native"
  # WirePlumber needs a session bus; a private one keeps it off the user's.
  launch dbus dbus-daemon --session --nofork --nopidfile --address="unix:path=$SS_DIR/runtime/bus"
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$SS_DIR/runtime/bus"
  within 40 test -S "$SS_DIR/runtime/bus" || fail "no session bus"
  launch pipewire pipewire
  within 100 test -S "$SS_DIR/runtime/pipewire-0" || fail "PipeWire did not start (see $SS_DIR/pipewire.log)"
  launch wireplumber wireplumber
  launch pipewire-pulse pipewire-pulse
  # Ready once pipewire-pulse answers and WirePlumber has chosen a default sink.
  within 100 has_default || fail "PipeWire did not become ready within 5 s (see $SS_DIR/*.log)"
fi

printf 'SERVER=%s\nPULSE_SERVER=%s\n' "$SERVER" "$PULSE_SERVER" > "$SS_DIR/env"
[ "${SS_TOPOLOGY:-yes}" = no ] ||
  "$HERE/topology.sh" </dev/null >>"$SS_DIR/topology.log" 2>&1 || fail "topology failed (see $SS_DIR/topology.log)"
echo "$SS_DIR"
