#!/bin/sh
# Installs the Debian packages Sonvale needs to build, run and test, when any is missing.
set -eu

PACKAGES="
build-essential cmake ninja-build pkg-config ccache
qt6-base-dev qt6-svg-dev qt6-qpa-plugins libpulse-dev libpipewire-0.3-dev libsoxr-dev nlohmann-json3-dev
libgtest-dev libgmock-dev libbenchmark-dev
pulseaudio pulseaudio-utils pipewire pipewire-pulse wireplumber dbus-daemon
python3 python3-zeroconf python3-cryptography python3-dbusmock
shairport-sync avahi-daemon avahi-utils iproute2 procps
xvfb xauth trayer xdotool x11-utils imagemagick fonts-noto-cjk fonts-dejavu-core
libglib2.0-bin sox
desktop-file-utils libcap2-bin file
"

missing=""
for package in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing="$missing $package"
  fi
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing
