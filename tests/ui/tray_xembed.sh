#!/bin/sh
# tray_xembed.sh SONVALE WORKDIR: Sonvale's icon in trayer's XEmbed tray on Xvfb; a right click, then "设置与状态…".
desktop_wait() {  # SECONDS COMMAND...: runs COMMAND every 50 ms until it succeeds
  n=$(($1 * 20)) && shift && until "$@" >/dev/null 2>&1; do n=$((n - 1)) && [ $n -gt 0 ] && sleep 0.05 || return 1; done
}
desktop_start() {
  mkdir -p "$DESKTOP_DIR/home" "$DESKTOP_DIR/runtime" && chmod 700 "$DESKTOP_DIR/runtime" && unset QT_QPA_PLATFORM
  # No buses: Qt then takes the XEmbed tray, and nothing reaches the machine's logind.
  export HOME="$DESKTOP_DIR/home" XDG_CONFIG_HOME="$DESKTOP_DIR/config" XDG_STATE_HOME="$DESKTOP_DIR/state" \
    XDG_RUNTIME_DIR="$DESKTOP_DIR/runtime" DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent
  SOUND_DIR=$(SS_TOPOLOGY=yes "$SONVALE_TESTS/harness/sound-server-start.sh" pulseaudio) || return 1
  export "$(grep '^PULSE_SERVER=' "$SOUND_DIR/env" | tr -d "'\"")"
  Xvfb -displayfd 7 -screen 0 1024x768x24 -nolisten tcp 7>"$DESKTOP_DIR/display" >/dev/null 2>&1 & XVFB_PID=$!
  desktop_wait 10 test -s "$DESKTOP_DIR/display" && export DISPLAY=":$(cat "$DESKTOP_DIR/display")" || return 1
  trayer --edge "${TRAY_EDGE:-top}" --align right --widthtype pixel --width "${TRAY_WIDTH:-200}" --heighttype pixel \
    --height 32 --transparent false --tint 0xffffff >/dev/null 2>&1 & TRAYER_PID=$!
  desktop_wait 10 xdotool search --onlyvisible --class '^trayer$'
}
desktop_launch() {  # ARGS...: starts Sonvale and waits for its icon in the tray
  "$SONVALE_EXECUTABLE" "$@" </dev/null >"$DESKTOP_DIR/sonvale.log" 2>&1 & APP_PID=$! && desktop_wait 15 desktop_find_icon
}
desktop_find_icon() {  # the icon: the small visible window of ours
  ICON_ID=$(xdotool search --onlyvisible --class '^sonvale$' getwindowgeometry --shell %@ |
    awk -F= '/^WINDOW=/ { id = $2 } /^WIDTH=/ && $2 < 100 { print id; exit }') && [ "$ICON_ID" ]
}
desktop_visible_windows() { xdotool search --onlyvisible --class '^sonvale$' | grep -vx "$ICON_ID"; }
desktop_open_menu() {  # a click that lands while the icon is being embedded is lost: again until the menu is up
  for try in 1 2 3 4 5; do xdotool mousemove --window "$ICON_ID" 4 4 click 3 && desktop_wait 3 desktop_visible_windows && return; done
}
desktop_stop() {
  for pid in ${APP_PID:-} ${TRAYER_PID:-} ${XVFB_PID:-}; do kill "$pid" && wait "$pid" || :; done 2>/dev/null
  [ -z "${SOUND_DIR:-}" ] || "$SONVALE_TESTS/harness/sound-server-stop.sh" "$SOUND_DIR"
}
case $0 in */tray_xembed.sh) ;; *) return 0 ;; esac  # sourced by scripts/screenshots.sh for the desktop_* functions

for tool in Xvfb trayer; do command -v $tool >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }; done
SONVALE_EXECUTABLE=$1 DESKTOP_DIR=$2 SONVALE_TESTS=$(cd "$(dirname "$0")/.." && pwd)
rm -rf "$DESKTOP_DIR" && mkdir -p "$DESKTOP_DIR" && trap desktop_stop EXIT && trap 'exit 1' INT TERM HUP
fail() { echo "FAIL: $*" >&2; cat "$DESKTOP_DIR/sonvale.log" >&2; exit 1; }
desktop_start && desktop_launch --background || fail "no Sonvale icon in the tray"
[ -z "$(desktop_visible_windows)" ] || fail "a window is shown before the menu was used"
desktop_open_menu || fail "no menu after a right click"
sleep 0.5 && xdotool key Down Down Return  # once mapped, the menu takes the keys: its 2nd enabled entry opens the window
desktop_wait 5 sh -c "xdotool search --onlyvisible --name '^Sonvale$' getwindowgeometry %@ | grep -q 560x395" || fail "no window"
