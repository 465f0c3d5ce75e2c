#!/bin/sh
# Runs a command on another Debian release: debootstraps a fresh root of SUITE from the mirror
# that apt uses here, copies this tree (tracked and untracked, not ignored) to /sonvale in it and
# runs COMMAND there as root. Needs root. The root is made anew on every run and removed at the
# end, so nothing is kept from one run to the next.
#   scripts/in-debian.sh SUITE COMMAND...      e.g. scripts/in-debian.sh trixie scripts/test.sh
# The root lives in ${DEBIAN_ROOT:-build-root-SUITE}; KEEP_ROOT=1 leaves it there afterwards.
set -eu
cd "$(dirname "$0")/.."
[ "$#" -ge 2 ] || { echo "usage: $0 SUITE COMMAND..." >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "$0: needs root (debootstrap, mounts)" >&2; exit 2; }
suite=$1
shift

# The first Debian archive URI that apt has, in either sources format (not the security one).
mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources \
  2>/dev/null | grep -v '^\s*#' | grep -oE 'https?://[^ ]+/debian/?( |$)' | head -n1 | tr -d ' ')
[ -n "$mirror" ] || { echo "$0: no Debian archive in apt's sources to debootstrap from" >&2; exit 1; }

if ! command -v debootstrap >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
fi

root=$(realpath -m "${DEBIAN_ROOT:-build-root-$suite}")
[ -e "$root" ] && { echo "$0: $root exists; remove it first" >&2; exit 1; }

# The mounts are made in a mount namespace of their own (private, so nothing reaches the host's
# tree and everything goes when its last process ends); the trap also takes them down by hand,
# ends whatever still runs in the root and removes the root unless KEEP_ROOT is set.
cleanup() {
  status=$?
  for proc in /proc/[0-9]*; do
    [ "$(readlink "$proc/root" 2>/dev/null)" = "$root" ] && kill -9 "${proc#/proc/}" 2>/dev/null
  done
  sleep 1
  if [ -z "${KEEP_ROOT:-}" ] && [ -d "$root" ]; then
    # --one-file-system: never into anything still mounted under the root.
    rm -rf --one-file-system "$root" || status=1
  fi
  exit $status
}
trap cleanup EXIT INT TERM

started=$(date +%s)
echo "in-debian: debootstrap $suite from $mirror into $root"
debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$root.debootstrap.log" 2>&1 \
  || { tail -n 30 "$root.debootstrap.log" >&2; rm -f "$root.debootstrap.log"; exit 1; }
rm -f "$root.debootstrap.log"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# Packages are installed without starting their services in the root.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod +x "$root/usr/sbin/policy-rc.d"
mkdir -p "$root/sonvale"
git ls-files -co --exclude-standard -z | tar -c --null -T - | tar -x -C "$root/sonvale"
echo "in-debian: root ready after $(($(date +%s) - started)) s"

# `ip netns` needs / to be a mount point, so the root is bound onto itself before the chroot.
# shellcheck disable=SC2016
unshare --mount --propagation private sh -eu -c '
root=$1; shift
mount --bind "$root" "$root"
mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/tmp"
mount -t tmpfs tmpfs "$root/run"
exec chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive sh -c "cd /sonvale && exec \"\$@\"" sh "$@"
' sh "$root" "$@"
echo "in-debian: $suite done after $(($(date +%s) - started)) s"
