#!/bin/sh
# Sonvale end to end on a machine of its own: a private sound server with a laptop's outputs,
# a virtual display with a tray host, and a local AirPlay receiver named "卧室" in private
# network namespaces. Sonvale starts with forwarding switched on, a chime is played into the
# system output, and the script reports what the receiver played. Nothing of the machine's own
# audio, display or network is touched; everything is stopped again at the end.
# Needs root (network namespaces) and a build in ${BUILD_DIR:-build}.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
case "${BUILD_DIR:-build}" in /*) BUILD=$BUILD_DIR ;; *) BUILD=$ROOT/${BUILD_DIR:-build} ;; esac
APP=$BUILD/bin/sonvale
CHIME=$BUILD/share/sonvale/system-test.wav
NAME=卧室

say() { printf '== %s\n' "$*"; }
[ "$(id -u)" -eq 0 ] || { echo "demo: needs root for its private network namespaces" >&2; exit 1; }
[ -x "$APP" ] || { echo "demo: $APP is missing; build first (scripts/build.sh)" >&2; exit 1; }

WORK=$(mktemp -d /tmp/sonvale-demo.XXXXXX)
SS_DIR="" RX_DIR="" XVFB_PID="" TRAY_PID="" APP_PID=""
cleanup() {
  [ -n "$APP_PID" ] && kill "$APP_PID" 2>/dev/null && wait "$APP_PID" 2>/dev/null
  [ -n "$TRAY_PID" ] && kill "$TRAY_PID" 2>/dev/null
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
  [ -n "$RX_DIR" ] && "$ROOT/tests/harness/receiver-stop.sh" "$RX_DIR" >/dev/null 2>&1
  [ -n "$SS_DIR" ] && "$ROOT/tests/harness/sound-server-stop.sh" "$SS_DIR" >/dev/null 2>&1
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

say "private sound server"
SS_DIR=$("$ROOT/tests/harness/sound-server-start.sh" pulseaudio)
. "$SS_DIR/env"
export PULSE_SERVER

say "local AirPlay receiver \"$NAME\""
RX_DIR=$(RX_NAME=$NAME RX_DIR=$WORK/rx TAG=demo$$ "$ROOT/tests/harness/receiver-start.sh")
. "$RX_DIR/env"

say "virtual display with a tray host"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WORK/display" </dev/null >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!
for _ in $(seq 1 50); do [ -s "$WORK/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$WORK/display")"
if command -v trayer >/dev/null; then
  trayer --edge top --align right --widthtype pixel --width 200 --heighttype pixel --height 32 \
    </dev/null >"$WORK/trayer.log" 2>&1 &
  TRAY_PID=$!
fi

# A home of its own: settings with forwarding on and the receiver's name, log, runtime dir.
export XDG_CONFIG_HOME="$WORK/config" XDG_STATE_HOME="$WORK/state" XDG_RUNTIME_DIR="$WORK/runtime"
export DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
printf '[General]\nenabled=true\ntargetName=%s\n' "$NAME" > "$XDG_CONFIG_HOME/local.sonvale.conf"
LOG=$XDG_STATE_HOME/Sonvale/Sonvale.log

say "outputs before"
"$APP" --status

say "Sonvale (log: the lines below)"
ip netns exec "$NS_TX" "$APP" </dev/null >"$WORK/app.log" 2>&1 &
APP_PID=$!
connected=""
for _ in $(seq 1 300); do
  if grep -q "已连接 $NAME" "$LOG" 2>/dev/null; then connected=yes; break; fi
  kill -0 "$APP_PID" 2>/dev/null || break
  sleep 0.1
done
cat "$LOG" 2>/dev/null | sed 's/^/   /'
[ -n "$connected" ] || { echo "demo: Sonvale did not connect to \"$NAME\" within 30 s"; exit 1; }

say "outputs while forwarding"
"$APP" --status

say "playing the test chime three times into the system output"
for _ in 1 2 3; do paplay "$CHIME"; done
sleep 3

say "what the receiver played"
/usr/bin/python3 - "$RX_DIR/received.s16" <<'PY'
import array, math, sys
data = array.array("h", open(sys.argv[1], "rb").read()[: (1 << 24) & ~3])
frames = len(data) // 2
loud = sum(1 for i in range(0, len(data), 2) if abs(data[i]) > 64 or abs(data[i + 1]) > 64)
rms = math.sqrt(sum(v * v for v in data) / len(data)) / 32768 if data else 0.0
print(f"   {frames} frames ({frames / 44100:.2f} s) received, {loud / 44100:.2f} s of it audible, RMS {rms:.4f}")
sys.exit(0 if loud > 44100 // 2 else 1)
PY

say "quitting Sonvale (SIGTERM)"
kill "$APP_PID"
wait "$APP_PID" || true
APP_PID=""
tail -n 3 "$LOG" | sed 's/^/   /'

say "outputs after: the speaker is back and Sonvale's output is gone"
"$APP" --status
