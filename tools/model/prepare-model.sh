#!/usr/bin/env bash
# Fetches the IS-Net general-use segmentation network from the npm package
# @imgly/background-removal-data, checks it, converts it once to float32 and caches the result
# in the user's data folder, where the application looks for it. Does nothing when the cached
# model is already there and intact.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

package="@imgly/background-removal-data"
version=1.4.5
# The float16 network as the package ships it (reassembled from its chunks).
source_size=88188479
source_sha256=b6e8497ba978a6f5fbb647e419d2696cd80df5a23cb6a8ea532021911bd76acb
# The float32 conversion is deterministic, so its result is pinned too.
model_size=176148681
model_sha256=8a5dcd5d6c7f7b58bae5f522750105662c1d5779fe58510e3a2c9cc33ac8748d

models="${XDG_DATA_HOME:-$HOME/.local/share}/kivopro/models"
model="$models/isnet-general-use-fp32.onnx"
# Debian's interpreter, which carries python3-onnx; a python3 earlier in PATH may not.
python=/usr/bin/python3

model_is_intact() {
  [ -f "$model" ] && [ "$(stat -c %s "$model")" = "$model_size" ] &&
    [ "$(sha256sum "$model" | cut -d' ' -f1)" = "$model_sha256" ]
}

if model_is_intact; then
  echo "setup: segmentation model present in $model"; exit 0
fi
if [ -e "$model" ]; then
  echo "setup: $model is damaged; preparing it again"
fi

if ! "$python" -c 'import onnx' 2>/dev/null; then
  echo "setup: $python cannot import onnx; install the Debian package python3-onnx" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"; rm -f "$model.partial.$$"' EXIT

echo "setup: fetching the segmentation model (npm $package@$version)"
(cd "$work" && npm pack --silent "$package@$version" >/dev/null)
tar -xzf "$work"/imgly-background-removal-data-$version.tgz -C "$work" package/dist

"$python" "$here/assemble_model.py" "$work/package" "$work/isnet-general-use-fp16.onnx" "$source_size" "$source_sha256"
rm -rf "$work/package" "$work"/*.tgz

echo "setup: converting the model to float32"
"$python" "$here/convert_to_float32.py" "$work/isnet-general-use-fp16.onnx" "$work/isnet-general-use-fp32.onnx"
actual=$(sha256sum "$work/isnet-general-use-fp32.onnx" | cut -d' ' -f1)
if [ "$actual" != "$model_sha256" ]; then
  echo "setup: the converted model has SHA-256 $actual, expected $model_sha256" >&2
  exit 1
fi

# Copy beside the destination first so that the final rename is atomic.
mkdir -p "$models"
cp "$work/isnet-general-use-fp32.onnx" "$model.partial.$$"
mv -f "$model.partial.$$" "$model"
echo "setup: segmentation model ready in $model"
