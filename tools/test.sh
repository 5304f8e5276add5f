#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite inside a private D-Bus session
# with an unlocked Secret Service and a virtual display. Extra arguments go to ctest.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${KIVO_BUILD_DIR:-$root/build}"

bash "$root/tools/setup.sh"
bash "$root/tools/build.sh" "$build"

# The tests run with a temporary HOME; the model stays findable through XDG_DATA_DIRS.
export XDG_DATA_DIRS="${XDG_DATA_HOME:-$HOME/.local/share}:${XDG_DATA_DIRS:-/usr/local/share:/usr/share}"
exec dbus-run-session -- bash "$root/tools/test-session.sh" \
  ctest --test-dir "$build" --output-on-failure --timeout 600 "$@"
