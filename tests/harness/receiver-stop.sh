#!/bin/sh
# receiver-stop.sh RX_DIR: stop what receiver-start.sh started and delete its namespaces.
RX_DIR=$1
. "$RX_DIR/env"
touch "$RX_DIR/stopping"
pids() { for f in "$@"; do [ -f "$RX_DIR/$f.pid" ] && cat "$RX_DIR/$f.pid"; done; }
alive() { for p in $(pids shairport avahi dbus); do kill -0 "$p" 2>/dev/null && echo "$p"; done; }
for p in $(pids shairport avahi dbus); do kill "$p" 2>/dev/null; done
for i in $(seq 1 20); do [ -z "$(alive)" ] && break; sleep 0.1; done
for p in $(pids shairport avahi dbus ns); do kill -9 "$p" 2>/dev/null; done
ip netns del "$NS_RX" 2>/dev/null
[ -n "$KEEP_TX" ] || ip netns del "$NS_TX" 2>/dev/null
exit 0
