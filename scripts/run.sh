#!/bin/sh
# Builds Sonvale and starts it. Extra arguments go to the application.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
exec build/bin/sonvale "$@"
