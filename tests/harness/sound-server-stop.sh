#!/bin/sh
# sound-server-stop.sh DIR: stop the daemons sound-server-start.sh started, by their pids
# (SIGTERM, then SIGKILL after 2 s), and delete DIR unless SS_KEEP_DIR=1.
DIR=${1:?usage: sound-server-stop.sh DIR}
[ -d "$DIR" ] || exit 0
PIDS=""
for f in pipewire-pulse wireplumber pipewire pulseaudio dbus; do
  [ -f "$DIR/$f.pid" ] && PIDS="$PIDS $(cat "$DIR/$f.pid")"
done
# A zombie counts as gone: an orphaned daemon may be left unreaped by the init process.
running() { [ -r "/proc/$1/status" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null; }
for p in $PIDS; do kill "$p" 2>/dev/null; done
for i in $(seq 1 40); do
  alive=""
  for p in $PIDS; do running "$p" && alive="$alive $p"; done
  [ -z "$alive" ] && break
  sleep 0.05
done
for p in $PIDS; do running "$p" && kill -9 "$p" 2>/dev/null; done
for f in pipewire-pulse wireplumber pipewire pulseaudio dbus; do rm -f "$DIR/$f.pid"; done
[ "${SS_KEEP_DIR:-0}" = 1 ] || rm -rf "$DIR"
exit 0
