#!/bin/sh
# Lip sync, measured end to end: what a player on the forwarding output is told by
# pa_stream_get_latency() (latency_probe --markers: a tone each second and when the player
# is told it will be heard) against when the local AirPlay receiver really plays it
# (shairport-sync's output, which it writes RX_BUFFER_S ahead of playing). A private
# PipeWire (or SERVER=pulseaudio), the receiver "卧室" in network namespaces, the app with
# its real worker. STAND_IN=1 puts the tests' stand-in worker in its place and times the tone
# where it enters the worker instead: Sonvale's own share of the delay. Needs root and a
# build in ${BUILD_DIR:-build}.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
case "${BUILD_DIR:-build}" in /*) BUILD=$BUILD_DIR ;; *) BUILD=$ROOT/${BUILD_DIR:-build} ;; esac
RX_BUFFER_S=${RX_BUFFER_S:-0.2}
WORK=$(mktemp -d /tmp/sonvale-lipsync.XXXXXX)
SS_DIR="" RX_DIR="" APP_PID=""
cleanup() {
  [ -n "$APP_PID" ] && kill "$APP_PID" 2>/dev/null && wait "$APP_PID" 2>/dev/null
  [ -n "$RX_DIR" ] && "$ROOT/tests/harness/receiver-stop.sh" "$RX_DIR" >/dev/null 2>&1
  [ -n "$SS_DIR" ] && "$ROOT/tests/harness/sound-server-stop.sh" "$SS_DIR" >/dev/null 2>&1
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

SS_DIR=$("$ROOT/tests/harness/sound-server-start.sh" "${SERVER:-pipewire}")
. "$SS_DIR/env"
export PULSE_SERVER
RX_DIR=$(RX_NAME=卧室 RX_BUFFER_S=$RX_BUFFER_S RX_DIR=$WORK/rx TAG=lip$$ "$ROOT/tests/harness/receiver-start.sh")
. "$RX_DIR/env"

export XDG_CONFIG_HOME="$WORK/config" XDG_STATE_HOME="$WORK/state" XDG_RUNTIME_DIR="$WORK/runtime" QT_QPA_PLATFORM=offscreen
export DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
printf '[General]\nenabled=true\ntargetName=卧室\n' > "$XDG_CONFIG_HOME/local.sonvale.conf"
HEARD=$RX_DIR/received.s16
if [ "${STAND_IN:-0}" = 1 ]; then
  # A copy of the resources, never through the build tree's links into the sources.
  cp -rL "$BUILD/share/sonvale" "$WORK/resources" && rm -f "$WORK/resources/sender.py"
  cp "$ROOT/tests/controller/stand_in_worker.py" "$WORK/resources/sender.py"
  export SONVALE_RESOURCES="$WORK/resources" SONVALE_TEST_LINES='{"state":"ready"}\n' SONVALE_TEST_SINK="$WORK/pcm"
  HEARD=$WORK/pcm RX_BUFFER_S=0
  : > "$HEARD"
fi
ip netns exec "$NS_TX" "$BUILD/bin/sonvale" --background </dev/null >"$WORK/app.log" 2>&1 &
APP_PID=$!
for _ in $(seq 1 300); do grep -q "已连接 卧室" "$XDG_STATE_HOME/Sonvale/Sonvale.log" 2>/dev/null && break; sleep 0.1; done
grep -q "已连接 卧室" "$XDG_STATE_HOME/Sonvale/Sonvale.log" || { tail -n 8 "$XDG_STATE_HOME"/Sonvale/*.log; exit 1; }
grep -h '"state": *"ready"' "$XDG_STATE_HOME/Sonvale/Sonvale-sender.log" 2>/dev/null | tail -1 || true
sleep 1

# Tone onsets in the receiver's output, on this host's monotonic clock.
/usr/bin/python3 - "$HEARD" "$WORK/onsets" "${SECONDS_RUN:-20}" <<'PY' &
import array, os, sys, time
path, out, seconds = sys.argv[1], open(sys.argv[2], "w"), float(sys.argv[3])
f = open(path, "rb"); f.seek(0, os.SEEK_END)
quiet, rest, end = 0, b"", time.monotonic() + seconds + 4
while time.monotonic() < end:
    chunk = rest + f.read(); now = time.monotonic()
    usable = len(chunk) // 4 * 4; rest = chunk[usable:]
    left = array.array("h", chunk[:usable])[0::2]
    for i, x in enumerate(left):
        if abs(x) > 3000 and quiet > 13230:
            print(int((now - (len(left) - i) / 44100) * 1e9), file=out, flush=True)
        quiet = 0 if abs(x) > 3000 else quiet + 1
    time.sleep(0.002)
PY
WATCH=$!
"$BUILD/bin/latency_probe" --markers --seconds "${SECONDS_RUN:-20}" > "$WORK/told"
wait "$WATCH"

/usr/bin/python3 - "$WORK/told" "$WORK/onsets" "$RX_BUFFER_S" <<'PY'
import json, statistics, sys
# The first two seconds are left out: pipewire-pulse's answer climbs to its value while the stream starts.
told = [json.loads(l) for l in open(sys.argv[1]) if "plays_at_ns" in l and json.loads(l)["second"] >= 3]
onsets = [int(l) for l in open(sys.argv[2])]
buffer_ns = float(sys.argv[3]) * 1e9
errors = []
for line in told:
    after = [o for o in onsets if o + buffer_ns > line["plays_at_ns"] - 0.5e9]
    if not after: continue
    played = after[0] + buffer_ns
    errors.append((played - line["plays_at_ns"]) / 1e6)
    print(f'told {line["latency_ms"]:7.1f} ms   heard {(played - line["plays_at_ns"]) / 1e6 + line["latency_ms"]:7.1f} ms after writing   later than told by {errors[-1]:+6.1f} ms')
if errors:
    print(f"markers {len(errors)}: heard later than told by median {statistics.median(errors):+.1f} ms "
          f"(min {min(errors):+.1f}, max {max(errors):+.1f})")
else:
    print("no marker reached the receiver"); sys.exit(1)
PY
