#!/bin/sh
# sound-server-stop.sh DIR: stop the daemons of sound-server-start.sh by their pids (SIGTERM, then SIGKILL
# after 2 s), and delete DIR unless SS_KEEP_DIR=1.
DIR=${1:?usage: sound-server-stop.sh DIR}
[ -d "$DIR" ] || exit 0
FILES="pipewire-pulse wireplumber pipewire pulseaudio dbus"
PIDS=$(for f in $FILES; do [ -f "$DIR/$f.pid" ] && cat "$DIR/$f.pid"; done)
# A zombie counts as gone: an orphaned daemon may be left unreaped by the init process.
alive() { for p in $PIDS; do [ -r "/proc/$p/status" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$p/status" 2>/dev/null && echo "$p"; done; }
for p in $PIDS; do kill "$p" 2>/dev/null; done
for i in $(seq 1 40); do [ -z "$(alive)" ] && break; sleep 0.05; done
for p in $(alive); do kill -9 "$p" 2>/dev/null; done
for f in $FILES; do rm -f "$DIR/$f.pid"; done
[ "${SS_KEEP_DIR:-0}" = 1 ] || rm -rf "$DIR"
exit 0
