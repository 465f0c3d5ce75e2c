#!/bin/sh
# screenshots.sh [BUILD_DIR] [several]: runs the built Sonvale on a throwaway X desktop (Xvfb
# with the trayer tray host and a private sound server) and saves what a user sees into
# docs/screenshots/: the tray icon and its menu, the settings window and the name dialog.
# With "several", two speakers are chosen and forwarding runs to a stand-in worker that
# reports the second one busy: the menu, the window and the dialog as several-*.png.
# Needs xvfb, trayer, xdotool, x11-utils and imagemagick (scripts/deps.sh installs them).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
SONVALE_EXECUTABLE="$BUILD/bin/sonvale"
SONVALE_TESTS="$ROOT/tests"
OUT=${SCREENSHOT_DIR:-$ROOT/docs/screenshots}
SEVERAL=${2:+several-}
[ -x "$SONVALE_EXECUTABLE" ] || { echo "screenshots: build Sonvale first ($SONVALE_EXECUTABLE)" >&2; exit 1; }
for tool in Xvfb trayer xdotool xwininfo import convert; do
  command -v "$tool" >/dev/null 2>&1 || { echo "screenshots: $tool is not installed" >&2; exit 1; }
done

DESKTOP_DIR=$(mktemp -d /tmp/sonvale-screenshots.XXXXXX)
. "$SONVALE_TESTS/ui/xembed_desktop.sh"
trap 'desktop_stop; rm -rf "$DESKTOP_DIR"' EXIT
trap 'exit 1' INT TERM HUP
mkdir -p "$OUT"

# The tray along the bottom, so the menu opens upwards with the panel in view.
TRAY_EDGE=bottom TRAY_WIDTH=320
desktop_start
# A speaker name, so the window's details read as they do in use.
mkdir -p "$XDG_CONFIG_HOME"
if [ "$SEVERAL" ]; then
  printf '[General]\nenabled=true\nmoreTargetNames=客厅 HomePod\ntargetName=卧室\n' > "$XDG_CONFIG_HOME/local.sonvale.conf"
else
  printf '[General]\ntargetName=卧室\n' > "$XDG_CONFIG_HOME/local.sonvale.conf"
fi
# A stand-in worker whose listing finds nothing the first time and two speakers after that,
# and which, sending, plays on the first speaker while any others are busy.
cp -rL "$BUILD/share/sonvale" "$DESKTOP_DIR/resources" && rm -f "$DESKTOP_DIR/resources/sender.py"
cat > "$DESKTOP_DIR/resources/sender.py" <<PY
import json, os, sys, threading, time
if "--list-speakers" in sys.argv:
    if os.path.exists("$DESKTOP_DIR/listed"):
        print('{"name": "卧室", "airplay2": false}\\n{"name": "客厅 HomePod", "airplay2": true}')
    open("$DESKTOP_DIR/listed", "w")
    sys.exit()
names = [sys.argv[i + 1] for i, arg in enumerate(sys.argv) if arg == "--name"]
speakers = [{"name": names[0], "state": "playing"}] + [
    {"name": name, "state": "busy", "message": "“%s”正被其他设备使用；它空闲后或重新开始转发时再连接" % name} for name in names[1:]]
def say(state, **fields):
    print(json.dumps(dict(fields, state=state, speakers=speakers), ensure_ascii=False), flush=True)
say("ready", latency_ms=2000)
say("playing")
def heartbeat():
    while True:
        time.sleep(1)
        say("streaming", bytes_in=0)
threading.Thread(target=heartbeat, daemon=True).start()
while sys.stdin.buffer.read1(65536):
    pass
PY
export SONVALE_RESOURCES="$DESKTOP_DIR/resources"
desktop_launch --background
# The root window is black under Xvfb; a light desk reads better.
convert -size 1024x768 xc:'#d9dfe8' "$DESKTOP_DIR/desk.png"
display -window root "$DESKTOP_DIR/desk.png" 2>/dev/null || true  # paints, then reports 1

open_menu() {
  desktop_open_menu || { echo "screenshots: the menu did not open" >&2; return 1; }
  sleep 0.3
}
geometry_of() {  # prints X Y W H of a window
  xwininfo -id "$1" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
                           /Width:/ {w=$NF} /Height:/ {h=$NF} END {print x, y, w, h}'
}
top_window_named() {  # a visible window of ours with this title, other than the icon
  for id in $(desktop_visible_windows); do
    [ "$(xdotool getwindowname "$id")" = "$1" ] && { echo "$id"; return 0; }
  done
  return 1
}

# The icon in the panel, before anything covers it.
import -window root -crop 140x44+884+724 +repage "$DESKTOP_DIR/tray-icon.png"
[ "$SEVERAL" ] || convert "$DESKTOP_DIR/tray-icon.png" -scale 200% "$OUT/tray-icon.png"
[ -z "$SEVERAL" ] || sleep 4  # forwarding starts a second after launch

# The menu above the tray, cropped to the panel's corner of the screen.
open_menu
menu=$(desktop_visible_windows | head -n 1)
set -- $(geometry_of "$menu")
left=$(( $1 < 1024 - 320 ? $1 : 1024 - 320 ))
left=$(( left - 24 )); [ "$left" -ge 0 ] || left=0
top=$(( $2 - 24 )); [ "$top" -ge 0 ] || top=0
import -window root -crop "$((1024 - left))x$((768 - top))+$left+$top" +repage "$OUT/${SEVERAL}tray-menu.png"
xdotool key Escape
desktop_wait 3 sh -c "! xdotool search --onlyvisible --class '^sonvale$' | grep -qx $menu" || true

# "设置与状态…": the second enabled entry.
open_menu
xdotool key Down Down Return
desktop_wait 5 top_window_named Sonvale
window=$(top_window_named Sonvale)
sleep 0.5
import -window "$window" "$OUT/${SEVERAL}settings-window.png"

# "设置 HomePod 名称…": the third enabled entry. The dialog is the newest window of ours.
open_menu
xdotool key Down Down Down Return
dialog_up() { [ "$(desktop_visible_windows | grep -cvx "$window")" -ge 1 ]; }
desktop_wait 5 dialog_up
dialog=$(desktop_visible_windows | grep -vx "$window" | tail -n 1)
sleep 0.5
import -window "$dialog" "$OUT/${SEVERAL}name-dialog.png"
xdotool key Escape

# Opened again, with speakers on the network: the arrow at the end of the field lists them.
sleep 1
open_menu
xdotool key Down Down Down Return
sleep 2
for id in $(desktop_visible_windows | grep -vx "$window"); do dialog=$id; done
set -- $(geometry_of "$dialog")
xdotool mousemove $(( $1 + 355 )) $(( $2 + 95 )) click 1
sleep 0.5
import -window root -crop "$(( $3 ))x$(( $4 + 40 ))+$1+$2" +repage "$OUT/${SEVERAL}name-dialog-speakers.png"
xdotool key Escape
xdotool key Escape

echo "screenshots: wrote $(ls "$OUT"/*.png | wc -l) images to $OUT"
