#!/bin/sh
# sound-server-start.sh [pulseaudio|pipewire]: start a private, headless sound server that
# speaks the PulseAudio protocol, and load the device topology (topology.sh) unless
# SS_TOPOLOGY=no. Nothing system-wide: own runtime, home and state directories.
# Prints one line on stdout: the state directory. Its "env" file holds SERVER and
# PULSE_SERVER (source it, or read the values); the daemons' pid files and logs lie beside it.
# SS_DIR reuses a directory (a restart keeps the same socket path). Stop: sound-server-stop.sh DIR.
# Every wait is bounded; on a failed start everything started is stopped and the exit status is 1.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
SERVER=${1:-${SONVALE_SOUND_SERVER:-pulseaudio}}
SS_DIR=${SS_DIR:-$(mktemp -d /tmp/sonvale-sound.XXXXXX)}
mkdir -p "$SS_DIR/runtime" "$SS_DIR/home" "$SS_DIR/state"
chmod 700 "$SS_DIR/runtime"
export HOME="$SS_DIR/home" XDG_RUNTIME_DIR="$SS_DIR/runtime" XDG_CONFIG_HOME="$SS_DIR/home/.config" \
       XDG_STATE_HOME="$SS_DIR/state" PULSE_RUNTIME_PATH="$SS_DIR/runtime/pulse" PULSE_STATE_PATH="$SS_DIR/state"
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS PULSE_SERVER PIPEWIRE_REMOTE

fail() {
  echo "sound-server-start: $*" >&2
  SS_KEEP_DIR=1 "$HERE/sound-server-stop.sh" "$SS_DIR" >/dev/null 2>&1 || true
  exit 1
}

# The daemons never inherit our stdout: a caller reading it would otherwise wait for them to exit.
case "$SERVER" in
pulseaudio)
  PULSE_SERVER="unix:$SS_DIR/native"
  rm -f "$SS_DIR/native"
  cat > "$SS_DIR/server.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$SS_DIR/native
PA
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit=no --use-pid-file=no --system=no \
    --log-target=stderr --log-level=notice -F "$SS_DIR/server.pa" </dev/null >>"$SS_DIR/pulseaudio.log" 2>&1 &
  echo $! > "$SS_DIR/pulseaudio.pid"
  export PULSE_SERVER
  ready=no
  for i in $(seq 1 100); do
    timeout 2 pactl info >/dev/null 2>&1 && { ready=yes; break; }
    sleep 0.05
  done
  [ $ready = yes ] || fail "PulseAudio did not answer within 5 s (see $SS_DIR/pulseaudio.log)"
  ;;
pipewire)
  export PIPEWIRE_RUNTIME_DIR="$SS_DIR/runtime"
  PULSE_SERVER="unix:$SS_DIR/runtime/pulse/native"
  rm -f "$SS_DIR/runtime/bus" "$SS_DIR/runtime/pipewire-0" "$SS_DIR/runtime/pipewire-0.lock" \
        "$SS_DIR/runtime/pulse/native"
  # WirePlumber needs a session bus; a private one keeps it off the user's.
  dbus-daemon --session --nofork --nopidfile --address="unix:path=$SS_DIR/runtime/bus" \
    </dev/null >>"$SS_DIR/dbus.log" 2>&1 &
  echo $! > "$SS_DIR/dbus.pid"
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$SS_DIR/runtime/bus"
  for i in $(seq 1 100); do [ -S "$SS_DIR/runtime/bus" ] && break; sleep 0.02; done
  [ -S "$SS_DIR/runtime/bus" ] || fail "no session bus"
  pipewire </dev/null >>"$SS_DIR/pipewire.log" 2>&1 &
  echo $! > "$SS_DIR/pipewire.pid"
  for i in $(seq 1 100); do [ -S "$SS_DIR/runtime/pipewire-0" ] && break; sleep 0.05; done
  [ -S "$SS_DIR/runtime/pipewire-0" ] || fail "PipeWire did not start (see $SS_DIR/pipewire.log)"
  wireplumber </dev/null >>"$SS_DIR/wireplumber.log" 2>&1 &
  echo $! > "$SS_DIR/wireplumber.pid"
  pipewire-pulse </dev/null >>"$SS_DIR/pipewire-pulse.log" 2>&1 &
  echo $! > "$SS_DIR/pipewire-pulse.pid"
  export PULSE_SERVER
  # Ready once pipewire-pulse answers and WirePlumber has chosen a default sink.
  ready=no
  for i in $(seq 1 100); do
    d=$(timeout 2 pactl get-default-sink 2>/dev/null) && [ -n "$d" ] && [ "$d" != "@DEFAULT_SINK@" ] && { ready=yes; break; }
    sleep 0.05
  done
  [ $ready = yes ] || fail "PipeWire did not become ready within 5 s (see $SS_DIR/*.log)"
  ;;
*)
  echo "usage: $0 [pulseaudio|pipewire]" >&2
  exit 2
  ;;
esac

printf 'SERVER=%s\nPULSE_SERVER=%s\n' "$SERVER" "$PULSE_SERVER" > "$SS_DIR/env"
if [ "${SS_TOPOLOGY:-yes}" != no ]; then
  "$HERE/topology.sh" </dev/null >>"$SS_DIR/topology.log" 2>&1 || fail "topology failed (see $SS_DIR/topology.log)"
fi
echo "$SS_DIR"
