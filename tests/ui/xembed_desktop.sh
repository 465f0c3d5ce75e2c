# Sourced by the tray test and the screenshot script: a throwaway X desktop with an XEmbed
# tray host and a private sound server, and Sonvale running in it. Every wait is bounded;
# desktop_stop ends what desktop_start started, by pid.
#
# Needs: DESKTOP_DIR (an empty working directory), SONVALE_TESTS (the tests/ folder),
# SONVALE_EXECUTABLE. Optional: TRAY_EDGE (top), TRAY_WIDTH (200), XVFB_OPTIONS.
# Sets: DISPLAY, APP_PID, ICON_ID, ICON_X/ICON_Y (the embedded icon's window and centre).

desktop_fail() {
  echo "xembed_desktop: $*" >&2
  return 1
}

# desktop_wait SECONDS COMMAND...: runs COMMAND every 50 ms until it succeeds.
desktop_wait() {
  limit=$(( $1 * 20 )); shift
  n=0
  until "$@" >/dev/null 2>&1; do
    n=$((n + 1))
    [ "$n" -ge "$limit" ] && return 1
    sleep 0.05
  done
}

desktop_start() {
  mkdir -p "$DESKTOP_DIR/home" "$DESKTOP_DIR/config" "$DESKTOP_DIR/state" "$DESKTOP_DIR/runtime"
  chmod 700 "$DESKTOP_DIR/runtime"
  # No session bus: Qt then uses the XEmbed tray and never autolaunches a bus daemon. No
  # system bus either, so nothing here reaches the machine's logind.
  export DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent
  export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent
  export HOME="$DESKTOP_DIR/home" XDG_CONFIG_HOME="$DESKTOP_DIR/config" XDG_STATE_HOME="$DESKTOP_DIR/state"
  export XDG_RUNTIME_DIR="$DESKTOP_DIR/runtime"
  unset QT_QPA_PLATFORM QT_QPA_PLATFORMTHEME WAYLAND_DISPLAY

  SOUND_DIR=$(SS_TOPOLOGY=${SS_TOPOLOGY:-yes} "$SONVALE_TESTS/harness/sound-server-start.sh" pulseaudio) ||
    { SOUND_DIR=""; desktop_fail "the private sound server did not start"; return 1; }
  PULSE_SERVER=$(sed -n 's/^PULSE_SERVER=//p' "$SOUND_DIR/env" | tr -d "'\"")
  export PULSE_SERVER

  : > "$DESKTOP_DIR/display"
  Xvfb -displayfd 7 -screen 0 1024x768x24 -nolisten tcp ${XVFB_OPTIONS:-} 7>"$DESKTOP_DIR/display" \
    </dev/null >"$DESKTOP_DIR/xvfb.log" 2>&1 &
  XVFB_PID=$!
  desktop_wait 10 test -s "$DESKTOP_DIR/display" || { desktop_fail "Xvfb did not start"; return 1; }
  DISPLAY=:$(head -n 1 "$DESKTOP_DIR/display")
  export DISPLAY

  trayer --edge "${TRAY_EDGE:-top}" --align right --widthtype pixel --width "${TRAY_WIDTH:-200}" \
    --heighttype pixel --height 32 \
    --transparent false --tint 0xffffff </dev/null >"$DESKTOP_DIR/trayer.log" 2>&1 &
  TRAYER_PID=$!
  desktop_wait 10 sh -c 'xwininfo -root -tree | grep -q "\"panel\" \"trayer\""' ||
    { desktop_fail "trayer did not map its panel"; return 1; }
}

# desktop_launch ARGS...: starts Sonvale and waits for its icon in the tray.
desktop_launch() {
  "$SONVALE_EXECUTABLE" "$@" </dev/null >"$DESKTOP_DIR/sonvale.log" 2>&1 &
  APP_PID=$!
  desktop_wait 15 desktop_find_icon || { desktop_fail "no Sonvale icon was embedded in the tray"; return 1; }
}

# The embedded icon is a small window of ours inside trayer's panel: xwininfo lists it with
# the class ("sonvale" "Sonvale") and its absolute position.
desktop_find_icon() {
  line=$(xwininfo -root -tree | grep -A 50 '"panel" "trayer"' | grep '("sonvale" "Sonvale")' |
         awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+x[0-9]+\+/) print $1, $i, $(i+1) }' | head -n 1)
  [ -n "$line" ] || return 1
  ICON_ID=$(( ${line%% *} ))
  line=${line#* }
  size=${line%%+*}
  width=${size%x*}; height=${size#*x}
  abs=${line#* }
  abs=${abs#+}
  ICON_X=$(( ${abs%+*} + width / 2 ))
  ICON_Y=$(( ${abs#*+} + height / 2 ))
  [ "$width" -gt 1 ] && [ "$width" -le 64 ]
}

# Trayer places a new icon first and lays the panel out again afterwards: wait until the
# icon stays where it is.
desktop_settle_icon() {
  for round in $(seq 1 20); do
    before="$ICON_X,$ICON_Y"
    sleep 0.2
    desktop_find_icon || continue
    [ "$ICON_X,$ICON_Y" = "$before" ] && return 0
  done
  return 0
}

# Visible windows of Sonvale other than the tray icon (the menu, the settings window), one
# id per line.
desktop_visible_windows() {
  xdotool search --onlyvisible --class '^sonvale$' 2>/dev/null | grep -vx "$ICON_ID" || true
}

# Right-clicks the icon until the menu is up. A click that lands while the icon is still
# being embedded is lost, so it is repeated; the waits are long enough for a loaded machine
# that a slow menu is not closed again by the next click.
desktop_open_menu() {
  for attempt in 1 2 3; do
    desktop_settle_icon
    xdotool mousemove "$ICON_X" "$ICON_Y" click 3
    desktop_wait 5 desktop_menu_open && return 0
  done
  return 1
}
desktop_menu_open() { [ -n "$(desktop_visible_windows)" ]; }

desktop_stop() {
  if [ -n "${APP_PID:-}" ] && kill -0 "$APP_PID" 2>/dev/null; then
    kill "$APP_PID" 2>/dev/null
    desktop_wait 5 sh -c "! kill -0 $APP_PID" || kill -9 "$APP_PID" 2>/dev/null
    wait "$APP_PID" 2>/dev/null || true
  fi
  for pid in ${TRAYER_PID:-} ${XVFB_PID:-}; do
    kill "$pid" 2>/dev/null && { desktop_wait 3 sh -c "! kill -0 $pid" || kill -9 "$pid" 2>/dev/null; }
  done
  for pid in ${TRAYER_PID:-} ${XVFB_PID:-}; do wait "$pid" 2>/dev/null || true; done
  [ -n "${SOUND_DIR:-}" ] && "$SONVALE_TESTS/harness/sound-server-stop.sh" "$SOUND_DIR"
  APP_PID=""; TRAYER_PID=""; XVFB_PID=""; SOUND_DIR=""
}
