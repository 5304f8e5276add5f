#!/usr/bin/env bash
# A new user's first batch, by hand through X11 under Xvfb: the real application starts with an
# empty home, the welcome sheet is closed, a folder is dragged onto the window from
# kivopro-drag-source (as from a file manager: the X11 drag-and-drop protocol), the cards are
# scrolled while they come in, "Process All" is pressed, the cards are scrolled to the bottom
# with the mouse wheel during the run and back to the top, and the run is cancelled. Screenshots
# of the whole screen go to SHOTS; look at them.
#
#   bash tools/drop-tour.sh SHOTS FOLDER [WHEEL_CLICKS]
#
# WHEEL_CLICKS (default 6000) is how far the run is scrolled: a click moves the cards 72 pixels,
# a row of three cards is 247. The positions clicked are those of the window's default size
# (1200 × 800 at the screen's corner, no window manager).
set -euo pipefail
shots=$(realpath -m "$1")
folder=$(realpath "$2")
clicks=${3:-6000}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${KIVO_BUILD_DIR:-$root/build}"
mkdir -p "$shots"

export HOME=$(mktemp -d)
export XDG_DATA_HOME=$HOME/.local/share XDG_CONFIG_HOME=$HOME/.config XDG_CACHE_HOME=$HOME/.cache
export XDG_RUNTIME_DIR=$HOME/run
# The model as installed by tools/setup.sh.
export XDG_DATA_DIRS=${XDG_DATA_DIRS:-/root/.local/share:/usr/local/share:/usr/share}
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$HOME/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 100); do [ -s "$HOME/display" ] && break; sleep 0.05; done
export DISPLAY=":$(cat "$HOME/display")"
app= source=
cleanup() {
  [ -n "$source" ] && kill "$source" 2>/dev/null || true
  [ -n "$app" ] && kill "$app" 2>/dev/null || true
  sleep 1
  kill "$xvfb" 2>/dev/null || true
  rm -rf "$HOME"
}
trap cleanup EXIT

shot() { import -window root "$shots/$1.png"; echo "$(date +%T) $1"; }

dbus-run-session -- bash -c 'eval "$(printf kivo | gnome-keyring-daemon --unlock --components=secrets)"
  export GNOME_KEYRING_CONTROL; exec "$0"' "$build/src/app/kivopro" >"$shots/application.log" 2>&1 &
app=$!
sleep 7
shot 0-welcome
xdotool mousemove 789 569 click 1 # "Get Started"
sleep 1

"$build/tools/kivopro-drag-source" --at 1250,880 "$folder" >"$HOME/drag.log" 2>&1 &
source=$!
sleep 2
xdotool mousemove 1410 920 mousedown 1
sleep 0.3
for point in "1350 880" "1200 800" "1000 700" "800 550" "620 460" "600 450"; do
  xdotool mousemove $point
  sleep 0.2
done
sleep 0.3
shot 1-dragging-over
xdotool mouseup 1
sleep 1
echo "$(date +%T) $(cat "$HOME/drag.log")"
shot 2-adding
xdotool mousemove 600 500 click --repeat 150 --delay 3 5
sleep 1
shot 3-scrolled-while-adding
# The summary appears once every file is read.
for _ in $(seq 300); do
  xdotool search --name '^Background Remover' >/dev/null 2>&1 && break
  sleep 1
done
sleep 1
shot 4-added
xdotool mousemove 788 393 click 1 # "OK" on the summary
sleep 0.5
xdotool mousemove 600 500 click --repeat 300 --delay 2 4
xdotool mousemove 200 133 click 1 # "Process All"
sleep 3
shot 5-run-started
xdotool mousemove 600 500
steps=12
for step in $(seq -w 1 $steps); do
  xdotool click --repeat $((clicks / steps)) --delay 3 5
  sleep 0.5
  shot 6-scrolling-$step
done
xdotool click --repeat $((clicks + 500)) --delay 1 4
sleep 1
shot 7-top-during-run
xdotool mousemove 1139 184 click 1 # "Cancel"
sleep 8
shot 8-cancelled
