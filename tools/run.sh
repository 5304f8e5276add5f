#!/usr/bin/env bash
# Installs what is missing, builds, and starts KIVOPRO.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${KIVO_BUILD_DIR:-$root/build}"
bash "$root/tools/setup.sh"
bash "$root/tools/build.sh" "$build"
exec "$build/src/app/kivopro" "$@"
