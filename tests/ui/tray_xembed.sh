#!/bin/sh
# tray_xembed.sh SONVALE WORKDIR: Sonvale's icon is embedded in an XEmbed tray (trayer on
# Xvfb), a right click opens its menu, and the menu's "设置与状态…" entry shows the window.
# Exit 77 (skipped) only when Xvfb or trayer is not installed.
set -u
SONVALE_EXECUTABLE=$1
DESKTOP_DIR=$2
SONVALE_TESTS=$(cd "$(dirname "$0")/.." && pwd)
for tool in Xvfb trayer; do
  command -v "$tool" >/dev/null 2>&1 || { echo "skipped: $tool is not installed"; exit 77; }
done
. "$SONVALE_TESTS/ui/xembed_desktop.sh"

rm -rf "$DESKTOP_DIR"
mkdir -p "$DESKTOP_DIR"
trap 'desktop_stop' EXIT
trap 'exit 1' INT TERM HUP

started=$(date +%s)
fail() {
  echo "FAIL after $(( $(date +%s) - started )) s: $*" >&2
  echo "--- sonvale.log" >&2
  cat "$DESKTOP_DIR/sonvale.log" >&2 2>/dev/null
  exit 1
}

desktop_start || fail "desktop"
echo "desktop up after $(( $(date +%s) - started )) s"
desktop_launch --background || fail "icon"
echo "icon embedded at $ICON_X,$ICON_Y after $(( $(date +%s) - started )) s"
[ -z "$(desktop_visible_windows)" ] || fail "a window is visible before the menu was used"

# The menu pops up as a window of ours with a keyboard grab; its first enabled entry is the
# toggle, the second "设置与状态…".
desktop_open_menu || fail "no menu after a right click"
menu=$(desktop_visible_windows | head -n 1)
geometry=$(xdotool getwindowgeometry "$menu" | sed -n 's/.*Geometry: //p')
echo "menu open: window $menu, $geometry"
sleep 0.5
xdotool key Down Down Return
settings_window() {
  for id in $(desktop_visible_windows); do
    [ "$(xdotool getwindowname "$id")" = Sonvale ] &&
      xdotool getwindowgeometry "$id" | grep -q 'Geometry: 560x395' && { echo "$id"; return 0; }
  done
  return 1
}
desktop_wait 5 settings_window || fail "the settings window did not appear"
echo "window shown: $(settings_window), 560x395"
kill -0 "$APP_PID" || fail "Sonvale exited"
echo "PASS"
