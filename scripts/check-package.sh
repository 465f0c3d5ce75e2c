#!/bin/sh
# Checks the Debian package that scripts/package.sh made: its file list, Depends and desktop entry.
# As root it also installs it with apt-get, checks the installed resources and the clock helper's
# capability (used by an unprivileged user), then removes and purges it and the packages it pulled,
# and checks that no file of ours is left.
#   scripts/check-package.sh [path of the .deb]
set -eu
cd "$(dirname "$0")/.."
deb=$(realpath "${1:-$(ls -t "${BUILD_DIR:-build-pkg}"/sonvale_*.deb | head -n1)}")
helper=/usr/libexec/sonvale/sonvale-ptp-helper
fail() { echo "check-package: $*" >&2; exit 1; }

files=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
for file in /usr/bin/sonvale $helper /usr/share/applications/local.sonvale.desktop \
  /usr/share/icons/hicolor/48x48/apps/local.sonvale.png /usr/share/icons/hicolor/scalable/apps/local.sonvale.svg \
  /usr/share/sonvale/sender.py /usr/share/sonvale/vendor/pyatv/__init__.py /usr/share/sonvale/AppIcon.icns \
  /usr/share/sonvale/system-test.wav; do
  echo "$files" | grep -qx "$file" || fail "$file is not in the package"
done
echo "$files" | grep -v '^/usr/' && fail "files outside /usr"
echo "$files" | grep -E '__pycache__|\.pyc$' && fail "bytecode in the package"

depends=$(dpkg-deb -f "$deb" Depends)
for package in python3 python3-zeroconf python3-cryptography pulseaudio-utils libcap2-bin qt6-qpa-plugins \
  libqt6widgets6 libpulse0 libsoxr0; do
  echo ", $depends," | grep -Eq ", ${package}[ ,]" || fail "Depends lacks $package: $depends"
done

# A package built here says which release it is for (see cmake/Package.cmake).
# shellcheck disable=SC1091
release=$(. /etc/os-release && echo "${VERSION_ID:-}")
[ -z "$release" ] || dpkg-deb -f "$deb" Version | grep -q "~deb$release\$" ||
  fail "version $(dpkg-deb -f "$deb" Version) does not name Debian $release"

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
desktop-file-validate "$unpacked/usr/share/applications/local.sonvale.desktop"
echo "check-package: $(echo "$files" | grep -vc '/$') files, Depends and the desktop entry are right"

if [ "$(id -u)" -ne 0 ]; then
  echo "check-package: not root, so installation and removal are not checked"
  exit 0
fi
dpkg -s sonvale >/dev/null 2>&1 && fail "sonvale is installed already; purge it first"
export DEBIAN_FRONTEND=noninteractive
# Purges the packages among its arguments that dpkg still knows; with no arguments, nothing
# (dpkg-query -W with no names would list, and apt-get would purge, every installed package).
purge() {
  [ "$#" -gt 0 ] || return 0
  known=$(dpkg-query -W -f '${Package}\n' "$@" 2>/dev/null || true)
  # shellcheck disable=SC2086
  [ -z "$known" ] || apt-get purge -y -qq $known >/dev/null
}
dpkg-query -W -f '${Package}\n' | sort >"$unpacked/before"
pulled=""
# shellcheck disable=SC2086
trap 'purge sonvale $pulled; rm -rf "$unpacked"' EXIT
apt-get install -y -qq "$deb" >/dev/null
pulled=$(dpkg-query -W -f '${Package}\n' | sort | comm -13 "$unpacked/before" - | grep -vx sonvale || true)
# shellcheck disable=SC2086
echo "check-package: installed; it pulled in:" ${pulled:-nothing}

# The program reports the version without the release suffix.
version=$(dpkg-deb -f "$deb" Version)
version=${version%%~*}
report=$(sonvale --verify-package) || fail "sonvale --verify-package: $report"
[ "$report" = "{\"missing\":[],\"ok\":true,\"version\":\"$version\"}" ] || fail "sonvale --verify-package: $report"
getcap $helper | grep -q 'cap_net_bind_service=ep' || fail "$helper lacks cap_net_bind_service: $(getcap $helper)"
# An unprivileged worker gets 319/320 on the address it names, through its own code; the wildcard
# and a socket that its parent did not make are refused.
runuser -u nobody -- python3 -s -B -c '
import logging, socket, subprocess, sys
sys.path.insert(0, "/usr/share/sonvale/vendor")
from pyatv.ptp import clock_ports
logging.disable(logging.WARNING)
helper = sys.argv[1]
sockets = clock_ports.from_helper(helper, "127.0.0.1")
assert sockets and [s.getsockname() for s in sockets] == [("127.0.0.1", 319), ("127.0.0.1", 320)], "hand-over"
sockets.close()
assert clock_ports.from_helper(helper, "0.0.0.0") is None, "the wildcard address was bound"
parent, child = socket.socketpair()
grandchild = subprocess.run(["sh", "-c", "\"$0\" %d 127.0.0.1; exit $?" % child.fileno(), helper],
                            pass_fds=[child.fileno()], stderr=subprocess.DEVNULL)
assert grandchild.returncode == 2, "a socket from another process than the parent was accepted"
' $helper || fail "the clock helper does not work for an unprivileged user as it should"
echo "check-package: sonvale --verify-package: $report; $(getcap $helper)"

# Bytecode that a root Python run leaves beside the worker must go with the package too.
python3 -m compileall -q /usr/share/sonvale/vendor >/dev/null
installed=$(dpkg -L sonvale)
apt-get remove -y -qq sonvale >/dev/null
for path in $installed /usr/share/sonvale /usr/libexec/sonvale; do
  [ -e "$path" ] || [ -L "$path" ] || continue
  if [ ! -d "$path" ] || [ "$path" = /usr/share/sonvale ] || [ "$path" = /usr/libexec/sonvale ]; then
    fail "$path is left after apt-get remove"
  fi
done
purge sonvale
dpkg-query -W sonvale >/dev/null 2>&1 && fail "sonvale is still known to dpkg after the purge"
# shellcheck disable=SC2086
purge $pulled
pulled=""
echo "check-package: apt-get remove and purge left no file of ours"
