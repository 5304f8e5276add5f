#!/usr/bin/env bash
# Builds KIVOPRO and makes its Debian package, build/kivopro_VERSION_amd64.deb (CPack; the
# dependencies are computed by dpkg-shlibdeps). The package carries the private ONNX Runtime and
# the segmentation model that tools/setup.sh prepares.
#
#   bash tools/package.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${1:-$root/build}"

bash "$root/tools/setup.sh"
bash "$root/tools/build.sh" "$build"
cd "$build"
cpack -G DEB >/dev/null
ls "$build"/kivopro_*_amd64.deb
