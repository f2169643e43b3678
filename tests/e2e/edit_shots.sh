#!/usr/bin/env bash
# Takes the line editor's screenshots for the docs on an Xvfb server of its
# own: a field being edited with a selection, its context menu, and the
# calendar of a date field. Needs Xvfb, xdotool and ImageMagick.
#
#   tests/e2e/edit_shots.sh BUILD_DIR OUT_DIR
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
out=$(mkdir -p "${2:-docs}" && cd "${2:-docs}" && pwd)
probe="$build/bin/editprobe"
[ -x "$probe" ] || { echo "build editprobe first" >&2; exit 1; }

display=":$((200 + $$ % 300))"
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
export DISPLAY="$display" SDL_VIDEODRIVER=x11
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done

# The window of the probe that was made last.
window() { xdotool search --sync --onlyvisible --pid "$pid" | tail -1; }
# shot WINDOW X Y W H FILE: the area at X, Y of the window, W x H, into FILE.
shot() {
  eval "$(xdotool getwindowgeometry --shell "$1")"
  import -window root -crop "${4}x${5}+$((X + $2))+$((Y + $3))" +repage "$6"
}

# The address dialog over a plain main window: type, drag a selection.
"$probe" --over >/dev/null & pid=$!
sleep 1.5
dialog=$(window)
xdotool windowfocus --sync "$dialog" sleep 0.3 type --delay 20 '192.168.10.25'
sleep 0.3
xdotool mousemove --window "$dialog" 139 14 mousedown 1 sleep 0.2 \
  mousemove --window "$dialog" 160 14 sleep 0.2 mousemove --window "$dialog" 165 14 sleep 0.2 mouseup 1
sleep 0.5
shot "$dialog" 0 0 264 57 "$out/edit.png"
# The context menu at the pointer, an item under it.
xdotool mousemove --window "$dialog" 215 12 click 3
sleep 0.5
xdotool mousemove --window "$dialog" 250 52
sleep 0.5
shot "$dialog" -8 -8 352 132 "$out/context_menu.png"
kill "$pid"; pid=""

# The calendar under a date field.
"$probe" --date >/dev/null & pid=$!
sleep 1.5
main=$(window)
xdotool mousemove --window "$main" 140 14 click 1
sleep 0.8
xdotool mousemove --window "$main" 100 150
sleep 0.5
shot "$main" 0 0 300 236 "$out/calendar.png"
echo "screenshots in $out"
