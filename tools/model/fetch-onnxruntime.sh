#!/usr/bin/env bash
# Unpacks ONNX Runtime's official C++ headers and Linux x86-64 library from the npm package
# com.github.asus4.onnxruntime into the user's cache folder, where CMake looks for them.
set -euo pipefail
version=0.4.9
ort=1.29.0
dest="${XDG_CACHE_HOME:-$HOME/.cache}/kivopro/onnxruntime-$ort"

if pkg-config --exists libonnxruntime 2>/dev/null; then
  echo "setup: using the system's ONNX Runtime"; exit 0
fi
if [ -f "$dest/lib/libonnxruntime.so.1" ] && [ -f "$dest/include/onnxruntime_cxx_api.h" ]; then
  echo "setup: ONNX Runtime $ort present in $dest"; exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "setup: fetching ONNX Runtime $ort (npm com.github.asus4.onnxruntime@$version)"
(cd "$work" && npm pack --silent "com.github.asus4.onnxruntime@$version" >/dev/null)
tar -xzf "$work"/com.github.asus4.onnxruntime-$version.tgz -C "$work" \
  "package/Plugins/Linux/x64/libonnxruntime.so" \
  "package/Plugins/iOS~/onnxruntime.xcframework/ios-arm64_x86_64-simulator/onnxruntime.framework/Headers"

mkdir -p "$dest.tmp/lib" "$dest.tmp/include"
cp "$work/package/Plugins/iOS~/onnxruntime.xcframework/ios-arm64_x86_64-simulator/onnxruntime.framework/Headers/"*.h "$dest.tmp/include/"
cp "$work/package/Plugins/Linux/x64/libonnxruntime.so" "$dest.tmp/lib/libonnxruntime.so.1"
ln -sf libonnxruntime.so.1 "$dest.tmp/lib/libonnxruntime.so"
rm -rf "$dest"
mv "$dest.tmp" "$dest"
echo "setup: ONNX Runtime $ort unpacked into $dest"
