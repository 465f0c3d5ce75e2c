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
exec build/bin/sonvale "$@"
