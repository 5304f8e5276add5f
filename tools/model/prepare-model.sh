#!/usr/bin/env bash
# Fetches the IS-Net general-use segmentation network from the npm package
# @imgly/background-removal-data, checks it, converts it once to float32, lets that take inputs
# of any size and caches both in the user's data folder: the application runs the any-size one,
# the tests compare it with the float32 one. Does nothing when both are there and intact.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

package="@imgly/background-removal-data"
version=1.4.5
# The float16 network as the package ships it (reassembled from its chunks).
source_size=88188479
source_sha256=b6e8497ba978a6f5fbb647e419d2696cd80df5a23cb6a8ea532021911bd76acb
# The float32 conversion and the any-size rewrite are deterministic, so their results are
# pinned too.
model_size=176148681
model_sha256=8a5dcd5d6c7f7b58bae5f522750105662c1d5779fe58510e3a2c9cc33ac8748d
anysize_size=176121659
anysize_sha256=bc4cd7639043ba94c5a1ea6e71ce037088bb1b4c4cc2c09656ec27348df76bd7

models="${XDG_DATA_HOME:-$HOME/.local/share}/kivopro/models"
model="$models/isnet-general-use-fp32.onnx"
anysize="$models/isnet-general-use-fp32-anysize.onnx"
# Debian's interpreter, which carries python3-onnx; a python3 earlier in PATH may not.
python=/usr/bin/python3

is_intact() { # FILE SIZE SHA256
  [ -f "$1" ] && [ "$(stat -c %s "$1")" = "$2" ] && [ "$(sha256sum "$1" | cut -d' ' -f1)" = "$3" ]
}

# Checks a prepared file and moves it into place; the copy beside the destination makes the
# final rename atomic.
install_checked() { # PREPARED DESTINATION SHA256
  local actual
  actual=$(sha256sum "$1" | cut -d' ' -f1)
  if [ "$actual" != "$3" ]; then
    echo "setup: $(basename "$2") came out with SHA-256 $actual, expected $3" >&2
    exit 1
  fi
  mkdir -p "$models"
  cp "$1" "$2.partial.$$"
  mv -f "$2.partial.$$" "$2"
}

make_any_size() {
  echo "setup: letting the model take inputs of any size"
  "$python" "$here/make_any_size.py" "$model" "$work/anysize.onnx"
  install_checked "$work/anysize.onnx" "$anysize" "$anysize_sha256"
  echo "setup: segmentation model ready in $anysize"
}

model_intact=false
is_intact "$model" "$model_size" "$model_sha256" && model_intact=true
if $model_intact && is_intact "$anysize" "$anysize_size" "$anysize_sha256"; then
  echo "setup: segmentation model present in $anysize"; exit 0
fi
for file in "$model" "$anysize"; do
  if [ -e "$file" ] && { [ "$file" != "$model" ] || ! $model_intact; }; then
    echo "setup: $file is damaged; preparing it again"
  fi
done

if ! "$python" -c 'import onnx' 2>/dev/null; then
  echo "setup: $python cannot import onnx; install the Debian package python3-onnx" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"; rm -f "$model.partial.$$" "$anysize.partial.$$"' EXIT

if $model_intact; then
  make_any_size
  exit 0
fi

echo "setup: fetching the segmentation model (npm $package@$version)"
(cd "$work" && npm pack --silent "$package@$version" >/dev/null)
tar -xzf "$work"/imgly-background-removal-data-$version.tgz -C "$work" package/dist

"$python" "$here/assemble_model.py" "$work/package" "$work/isnet-general-use-fp16.onnx" "$source_size" "$source_sha256"
rm -rf "$work/package" "$work"/*.tgz

echo "setup: converting the model to float32"
"$python" "$here/convert_to_float32.py" "$work/isnet-general-use-fp16.onnx" "$work/isnet-general-use-fp32.onnx"
rm -f "$work/isnet-general-use-fp16.onnx"
install_checked "$work/isnet-general-use-fp32.onnx" "$model" "$model_sha256"
rm -f "$work/isnet-general-use-fp32.onnx"
make_any_size
