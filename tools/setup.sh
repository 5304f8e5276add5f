#!/usr/bin/env bash
# Installs everything KIVOPRO needs on Debian 12: the Debian packages, ONNX Runtime and the
# segmentation model (both from the npm registry). Safe to run again: it only does what is missing.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-image-formats-plugins qt6-svg-dev qtkeychain-qt6-dev
  libopencv-dev libheif-dev libzstd-dev libcpp-httplib-dev libgtest-dev googletest libisal-dev libzip-dev
  libcanberra-dev sound-theme-freedesktop
  libboost1.81-dev libqt6sql6-sqlite libqt6sql6-psql postgresql libpq-dev libsodium-dev
  python3-onnx
  xvfb xauth gnome-keyring dbus libsecret-tools imagemagick fonts-noto-color-emoji
  nginx wrk poppler-utils libheif-examples
  dpkg-dev file
  rsync
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Node.js with npm usually comes with the machine; Debian's npm would conflict with it.
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  as_root apt-get -o DPkg::Lock::Timeout=600 update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}"
else
  echo "setup: Debian packages present"
fi

bash "$here/model/fetch-onnxruntime.sh"
bash "$here/model/prepare-model.sh"
