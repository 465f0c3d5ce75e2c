#!/bin/sh
# Installs what is missing, builds, and runs Sonvale end to end.
#   scripts/run.sh              the tray application inside a desktop session, else the demonstration
#   scripts/run.sh --demo       the self-contained demonstration (scripts/demo.sh; needs root)
#   scripts/run.sh --app [...]  the tray application, with any further flags
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh

mode=auto
case "${1:-}" in
--demo) mode=demo; shift ;;
--app) mode=app; shift ;;
esac
if [ "$mode" = auto ]; then
  mode=demo
  if { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; } && pactl info >/dev/null 2>&1; then
    mode=app
  fi
fi

if [ "$mode" = demo ]; then
  exec scripts/demo.sh
fi

# The clock helper needs cap_net_bind_service to hand the worker the PTP ports 319/320, without
# which a standalone HomePod does not play and other AirPlay 2 receivers get NTP timing. A rebuild
# drops the capability, so it is given again whenever it is missing, and only the user who built
# this copy may run it. Root binds the ports itself.
build=${BUILD_DIR:-build}
helper=$build/libexec/sonvale/sonvale-ptp-helper
if [ "$(id -u)" -ne 0 ] && ! /usr/sbin/getcap "$helper" | grep -q cap_net_bind_service; then
  chmod 0700 "$helper"
  echo "run.sh: giving $helper the capability to bind the clock ports 319/320 (sudo setcap)"
  sudo /usr/sbin/setcap cap_net_bind_service=ep "$helper" ||
    echo "run.sh: without it a standalone HomePod reports the missing clock helper (see README, Install)" >&2
fi
exec "$build/bin/sonvale" "$@"
