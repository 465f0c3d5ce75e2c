#!/bin/sh
# receiver-stop.sh RX_DIR: stop what receiver-start.sh started and delete its namespaces.
RX_DIR=$1
. "$RX_DIR/env"
for f in shairport avahi dbus; do
  [ -f "$RX_DIR/$f.pid" ] && kill "$(cat "$RX_DIR/$f.pid")" 2>/dev/null
done
for i in $(seq 1 20); do
  alive=0
  for f in shairport avahi dbus; do
    [ -f "$RX_DIR/$f.pid" ] && kill -0 "$(cat "$RX_DIR/$f.pid")" 2>/dev/null && alive=1
  done
  [ $alive = 0 ] && break
  sleep 0.1
done
for f in shairport avahi dbus ns; do
  [ -f "$RX_DIR/$f.pid" ] && kill -9 "$(cat "$RX_DIR/$f.pid")" 2>/dev/null
done
ip netns del "$NS_RX" 2>/dev/null
ip netns del "$NS_TX" 2>/dev/null
exit 0
