#!/usr/bin/env bash
# Runs a command with what the tests need: an unlocked gnome-keyring Secret Service in the
# current D-Bus session and an Xvfb display. Both end with the command.
set -euo pipefail

export HOME=$(mktemp -d)
export XDG_DATA_HOME=$HOME/.local/share XDG_CONFIG_HOME=$HOME/.config XDG_CACHE_HOME=$HOME/.cache
export XDG_RUNTIME_DIR=$HOME/run
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_DATA_HOME"
chmod 700 "$XDG_RUNTIME_DIR"

eval "$(printf '%s' kivopro-test | gnome-keyring-daemon --unlock --components=secrets)"
export GNOME_KEYRING_CONTROL

Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$HOME/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 100); do [ -s "$HOME/display" ] && break; sleep 0.05; done
export DISPLAY=":$(cat "$HOME/display")"

cleanup() {
  kill "$xvfb" 2>/dev/null || true
  [ -n "${GNOME_KEYRING_PID:-}" ] && kill "$GNOME_KEYRING_PID" 2>/dev/null || true
  rm -rf "$HOME"
}
trap cleanup EXIT

"$@"
