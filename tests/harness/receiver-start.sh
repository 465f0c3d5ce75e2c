#!/bin/sh
# Start a local AirPlay (RAOP) receiver for end-to-end tests, fully isolated (needs root): in netns $NS_RX
# a private /run (tmpfs), dbus-daemon --system, avahi-daemon and shairport-sync with the stdout backend
# (PCM -> $RX_DIR/received.s16, S16LE 44100 Hz stereo); the code under test runs in netns $NS_TX
# (ip netns exec $NS_TX <cmd>); veth pair 10.77.N.1 (tx) <-> 10.77.N.2 (rx), mDNS stays on that link.
# Prints the state directory; its "env" file holds NS_RX, NS_TX and RX_DIR. Stop: receiver-stop.sh RX_DIR.
# Environment: RX_NAME, RX_PASSWORD, RX_BUFFER_S, RX_SESSION_TIMEOUT, RX_IGNORE_VOLUME (yes: output
# bit-exact), RX_INTERRUPT (set: a newcomer may interrupt the session), RX_VERBOSITY, TAG; JOIN_TX (an existing
# tx netns this receiver joins on its own link, left in place by receiver-stop.sh) with RX_NET (N above, default 0).
set -eu
RX_NAME=${RX_NAME:-Test Speaker}
RX_DIR=${RX_DIR:-$(mktemp -d /tmp/airplay-rx.XXXXXX)}
TAG=${TAG:-$$}
NS_RX=aprx$TAG NS_TX=${JOIN_TX:-aptx$TAG} NET=10.77.${RX_NET:-0}
mkdir -p "$RX_DIR"
echo "NS_RX=$NS_RX NS_TX=$NS_TX RX_DIR=$RX_DIR TAG=$TAG RX_ADDR=$NET.2 KEEP_TX=${JOIN_TX:+yes}" > "$RX_DIR/env"
# On any failure below, undo what was started so no namespace or daemon is left behind.
trap 'sh "$(dirname "$0")/receiver-stop.sh" "$RX_DIR" >/dev/null 2>&1' EXIT
ip netns add $NS_RX
[ -n "${JOIN_TX:-}" ] || ip netns add $NS_TX
ip link add vtx$TAG type veth peer name vrx$TAG
for end in "$NS_RX vrx$TAG $NET.2" "$NS_TX vtx$TAG $NET.1"; do
  set -- $end
  ip link set $2 netns $1; ip -n $1 addr add $3/24 dev $2; ip -n $1 link set $2 up; ip -n $1 link set lo up
done

printf '%s\n' '[server]' host-name=rx$TAG use-ipv4=yes use-ipv6=no allow-interfaces=vrx$TAG ratelimit-interval-usec=1000000 \
  ratelimit-burst=1000 '[wide-area]' enable-wide-area=no '[publish]' publish-hinfo=no publish-workstation=no \
  > "$RX_DIR/avahi-daemon.conf"
cat > "$RX_DIR/shairport-sync.conf" <<CONF
general = { name = "$RX_NAME"; ${RX_PASSWORD:+password = \"$RX_PASSWORD\";} output_backend = "stdout"; mdns_backend = "avahi";
  port = 5000; udp_port_base = 6001; interface = "vrx$TAG"; audio_backend_buffer_desired_length_in_seconds = ${RX_BUFFER_S:-0.2};
  ignore_volume_control = "${RX_IGNORE_VOLUME:-yes}"; };  // else the default -18 dB attenuates and dithers
sessioncontrol = { session_timeout = ${RX_SESSION_TIMEOUT:-20}; ${RX_INTERRUPT:+allow_session_interruption = \"yes\";} }; metadata = { enabled = "no"; };
diagnostics = { log_verbosity = ${RX_VERBOSITY:-1}; };
CONF
# Everything below runs inside the rx netns with its own mount namespace (private /run).
# Its output never goes to the caller's stdout, or a caller reading it would never see EOF.
ip netns exec $NS_RX unshare --mount --propagation private sh -c '
  set -e
  mount -t tmpfs tmpfs /run
  mkdir -p /run/dbus /run/avahi-daemon
  dbus-daemon --system --nofork --nopidfile & echo $! > "$0/dbus.pid"
  for i in $(seq 1 50); do [ -S /run/dbus/system_bus_socket ] && break; sleep 0.05; done
  avahi-daemon --no-chroot --no-drop-root -f "$0/avahi-daemon.conf" >"$0/avahi.log" 2>&1 & echo $! > "$0/avahi.pid"
  for i in $(seq 1 50); do avahi-browse -at -p >/dev/null 2>&1 && break; sleep 0.1; done
  while :; do  # a shairport-sync that dies comes back after a second, like a speaker restarting
    shairport-sync -c "$0/shairport-sync.conf" -u -v >>"$0/received.s16" 2>>"$0/shairport.log" & echo $! > "$0/shairport.pid"
    wait $! || true; [ -e "$0/stopping" ] && break; sleep 1
  done
' "$RX_DIR" </dev/null >"$RX_DIR/ns.log" 2>&1 &
echo $! > "$RX_DIR/ns.pid"
for i in $(seq 1 100); do
  ip netns exec $NS_TX bash -c 'exec 3<>/dev/tcp/'$NET'.2/5000' 2>/dev/null && { trap - EXIT; echo "$RX_DIR"; exit 0; }
  sleep 0.1
done
echo "receiver-start.sh: shairport-sync did not open its RTSP port; its log:" >&2
cat "$RX_DIR/shairport.log" "$RX_DIR/ns.log" >&2 2>/dev/null
exit 1
