#!/bin/sh
# bench-main-thread.sh [EXECUTABLE] [pulseaudio|pipewire] [held|forwarding] [SECONDS]: how long the
# running application's main thread stalls while the sound server is stopped (SIGSTOP for SECONDS,
# 5 by default), and, when held, how many requests it sends the server per supervision tick in
# steady state.
#
# Runs EXECUTABLE (default build/bin/sonvale) against a private sound server with the laptop
# topology (tests/harness), with forwarding enabled ([General] enabled=true, targetName=卧室).
# held: on the USB headset, so it ticks twice a second without forwarding. forwarding: on the
# speaker, forwarding through the stand-in worker (tests/controller), so that the stop runs into
# the capture's loss, the teardown and the retries.
# Stall: a probe connects to the single-instance socket every 10 ms and sends an over-long
# line, which the main thread answers by closing the connection; the time to that close is
# how long the event loop was busy. Requests: strace counts the sends of the backend's
# libpulse thread ("sonvale-pulse") over 10 s; shared memory is turned off for the client
# (PULSE_CLIENTCONFIG) so that every request is a send on the socket. Needs strace and python3.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
EXE=${1:-$ROOT/build/bin/sonvale}
SERVER=${2:-pulseaudio}
MODE=${3:-held}
STOPPED=${4:-5}
WORK=$(mktemp -d /tmp/sonvale-bench.XXXXXX)
SS_DIR=$("$ROOT/tests/harness/sound-server-start.sh" "$SERVER")
APP=""
cleanup() {
  [ -n "$APP" ] && kill "$APP" 2>/dev/null && wait "$APP" 2>/dev/null
  for f in pulseaudio pipewire-pulse; do [ -f "$SS_DIR/$f.pid" ] && kill -CONT "$(cat "$SS_DIR/$f.pid")" 2>/dev/null; done
  "$ROOT/tests/harness/sound-server-stop.sh" "$SS_DIR"
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM
. "$SS_DIR/env"
export PULSE_SERVER
DAEMON=$(cat "$SS_DIR/pulseaudio.pid" 2>/dev/null || cat "$SS_DIR/pipewire-pulse.pid")
[ "$MODE" = held ] && pactl set-default-sink alsa_output.usb-Logitech_USB_Headset-00.analog-stereo

cd "$ROOT"
. scripts/stand-in-app.sh
printf 'enable-shm = no\nenable-memfd = no\n' > "$WORK/client.conf"
DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent PULSE_CLIENTCONFIG="$WORK/client.conf" \
  "$EXE" --background </dev/null >"$WORK/app.log" 2>&1 &
APP=$!
SOCKET="$WORK/runtime/local.sonvale.sock"
for i in $(seq 1 100); do [ -S "$SOCKET" ] && break; sleep 0.05; done
[ -S "$SOCKET" ] || { echo "the application did not start" >&2; exit 1; }
sleep 2
if [ "$MODE" = forwarding ]; then
  for i in $(seq 1 200); do [ "$(pactl get-default-sink)" = local.sonvale.output.bedroom ] && break; sleep 0.1; done
  [ "$(pactl get-default-sink)" = local.sonvale.output.bedroom ] || { echo "forwarding did not start" >&2; exit 1; }
  sleep 3
fi

# Requests per tick in steady state: sends of the backend's libpulse thread over 10 s (20 ticks).
if [ "$MODE" = held ]; then
TID=$(grep -l '^sonvale-pulse$' /proc/$APP/task/*/comm | head -1 | cut -d/ -f5)
strace -qq -f -e trace=sendto,sendmsg,write,writev -p "$TID" -o "$WORK/strace.log" & TRACER=$!
sleep 10
kill "$TRACER"; wait "$TRACER" 2>/dev/null || true
SENDS=$(grep -c -E '^[0-9]+ +(sendto|sendmsg)' "$WORK/strace.log" || true)
fi

# Main-thread stall: probe for 3 s, stop the server, resume it, probe 3 s more (10 s after a
# stop while forwarding: the retries after the resume).
AFTER=3; [ "$MODE" = forwarding ] && AFTER=10
python3 - "$SOCKET" "$DAEMON" "$STOPPED" "$AFTER" <<'PY'
import os, signal, socket, sys, threading, time
path, daemon, stopped, after = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
phase, worst, slow, begin = ["running"], {}, [], time.monotonic()
stop = begin + 3 + stopped + after
def probe():
    while time.monotonic() < stop:
        start = time.monotonic()
        s = socket.socket(socket.AF_UNIX)
        s.connect(path)
        s.sendall(b"x" * 100)          # no newline and longer than any request: the main thread closes it
        s.settimeout(10)
        try:
            s.recv(1)
        except OSError:
            pass
        s.close()
        took = time.monotonic() - start
        worst[phase[0]] = max(worst.get(phase[0], 0), took)
        if took > 0.05:
            slow.append(f"{start - begin:.1f}s {took * 1000:.0f}ms")
        time.sleep(0.01)
t = threading.Thread(target=probe); t.start()
time.sleep(3); phase[0] = "stopped"; os.kill(daemon, signal.SIGSTOP)
time.sleep(stopped); os.kill(daemon, signal.SIGCONT); phase[0] = "resumed"
t.join()
for p in ("running", "stopped", "resumed"):
    print(f"longest main-thread stall, server {p}: {worst.get(p, 0) * 1000:.0f} ms")
print(f"stalls over 50 ms (time since the probe began, the server stopped at 3 s): {', '.join(slow) or 'none'}")
PY
if [ "$MODE" = forwarding ]; then
  echo "default output at the end: $(pactl get-default-sink)"
  echo "status lines:"; sed 's/^[^ ]* /  /' "$WORK/state/Sonvale/Sonvale.log" | tail -n 20
  exit 0
fi
echo "requests to the server in 10 s of steady state: $SENDS ($(echo "scale=1; $SENDS / 20" | bc) per tick)"
